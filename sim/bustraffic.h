#pragma once
// What a live bus carries besides the replies to the tool: the node's own
// heartbeat while its user firmware runs, and other nodes' heartbeats and
// PDOs. The adapter passes every frame on to the computer, as real adapters
// do, so the tool must pick its replies out of this traffic.
//
// Not thread-safe: the node simulator guards it with its own lock.

#include <chrono>
#include <cstdint>
#include <vector>

namespace nodesim {

struct BusTrafficOptions
{
    int heartbeatMs = 0;         // > 0: the node's heartbeat period while its user firmware runs
    std::vector<int> otherNodes; // node IDs of other nodes on the bus
    int otherPeriodMs = 50;      // each other node's heartbeat and PDO period
};

class BusTraffic
{
public:
    using Clock = std::chrono::steady_clock;
    using Record = std::vector<std::uint8_t>;

    BusTraffic(int nodeId, BusTrafficOptions options, Clock::time_point start);

    // The node starts or stops running its user firmware at `now`: its
    // heartbeat follows one period after (after its boot-up record).
    void nodeRunsUser(bool running, Clock::time_point now);

    // Appends the records due by `now` to *out, in bus order.
    void takeDue(Clock::time_point now, std::vector<Record> *out);

    // When the next record is due; Clock::time_point::max() for a quiet bus.
    Clock::time_point nextDue() const;

private:
    const int m_nodeId;
    const BusTrafficOptions m_options;
    bool m_userRunning = false;
    Clock::time_point m_nextHeartbeat = Clock::time_point::max();
    Clock::time_point m_nextOthers = Clock::time_point::max();
    std::uint8_t m_pdoCount = 0;
};

} // namespace nodesim
