#pragma once
// The remote-IO node behind the simulated adapter: its three objects, user
// and boot mode, the block buffer and the flash (docs/protocol.md). It
// answers SDO requests with whole records and knows nothing of the line:
// the adapter hands it the requests addressed to it and sends what it
// returns, when and how the line's fault switches say.
//
// Not thread-safe: the node simulator guards it with its own lock.

#include "flashstore.h"
#include "nodesim.h"

#include "canopen/flashgeometry.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace nodesim {

class NodeModel
{
public:
    using Clock = std::chrono::steady_clock;
    using Record = std::vector<std::uint8_t>;

    NodeModel(int nodeId, bool startInBootMode, int rebootDelayMs);

    // Serves one SDO request record (11 bytes, addressed to this node) that
    // arrived at `now`, and appends its replies to *replies: none while the
    // node restarts and none to the commands it restarts on, two to the
    // first boot command with the extraReplyToBootStep1 fault.
    void serve(const std::uint8_t *request, Clock::time_point now, const Faults &faults,
               std::vector<Record> *replies);

    // The restart that the user-mode command begins, and when it is over.
    bool restarting() const { return m_restarting; }
    Clock::time_point restartDue() const { return m_restartDue; }

    // Ends the restart. Returns the boot-up record to send; empty when the
    // faults keep the node from sending one.
    Record finishRestart(const Faults &faults);

    bool bootMode() const { return m_boot; }
    bool firmwareMarked() const { return m_marked; }
    FlashStore &flash() { return m_flash; }
    const FlashStore &flash() const { return m_flash; }

private:
    void upload(std::uint16_t index, std::uint8_t sub);
    void download(std::uint16_t index, std::uint8_t sub, const std::uint8_t *data,
                  Clock::time_point now);
    void command(std::uint8_t sub, std::uint32_t value, Clock::time_point now);
    void blockCommand(std::uint8_t sub, std::uint32_t address);
    void reply(std::uint8_t command, std::uint16_t index, std::uint8_t sub, std::uint32_t value);
    void abort(std::uint16_t index, std::uint8_t sub, std::uint32_t code);
    void confirm(std::uint16_t index, std::uint8_t sub);

    const int m_nodeId;
    const int m_rebootDelayMs;
    bool m_boot;
    bool m_bootStepArmed = false; // the first boot command came
    bool m_flashArmed = false;    // the flash key came: blocks may be stored
    bool m_marked = false;
    bool m_restarting = false;
    Clock::time_point m_restartDue;
    std::uint8_t m_block[FlashGeometry::blockSize];
    FlashStore m_flash;

    // Valid during serve().
    const Faults *m_faults = nullptr;
    std::vector<Record> *m_replies = nullptr;
};

} // namespace nodesim
