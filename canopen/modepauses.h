#pragma once
// How long the node is away when it switches modes: it restarts on the first
// boot command and on the user-mode command, answering nothing meanwhile
// (docs/protocol.md). The tool waits these out in full before its next
// request; the simulated node's restart and the benchmarks' ideal client
// keep to the same figures.
//
// Plain C++ (no Qt), shared by the tool, the simulator, the benchmarks and
// the tests.

#include <chrono>

namespace ModePauses {

// After the first boot command, before the second.
constexpr std::chrono::milliseconds afterBootStep1{500};
// After the user-mode command, before the boot-up record is read; the node
// sends that record when its restart is over, within this time.
constexpr std::chrono::milliseconds afterUserMode{5000};

} // namespace ModePauses
