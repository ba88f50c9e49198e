#pragma once
// Windows layer 1 with its first buffer capacity as a parameter, so that the
// growth of the name buffer can be exercised with a small start.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace WinPorts {

// The name buffer's first capacity, in wide characters.
constexpr std::size_t FirstNameBufferCapacity = 4096;

// SerialDeviceScan::UsingDosDeviceNames with the first capacity given.
bool usingDosDeviceNames(std::vector<std::uint32_t> &ports, std::size_t firstCapacity);

} // namespace WinPorts
