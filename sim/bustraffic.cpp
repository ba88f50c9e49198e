// Heartbeats and PDOs on the simulated bus (bustraffic.h).

#include "bustraffic.h"

#include "canopen/serialcanframe.h"

#include <algorithm>

namespace nodesim {

namespace {

using namespace SerialCanFrame;

constexpr std::uint16_t kTransmitPdo1Base = 0x180;
constexpr std::uint8_t kOperationalState = 0x05;
constexpr std::uint8_t kPdoLength = 8; // as long as an SDO reply: the hardest to tell apart

BusTraffic::Record heartbeat(int nodeId)
{
    BusTraffic::Record r(GuardRecordSize);
    putHead(r.data(), std::uint16_t(ErrorControlBase + nodeId), 1);
    r[GuardStateOffset] = kOperationalState;
    return r;
}

BusTraffic::Record pdo(int nodeId, std::uint8_t count)
{
    BusTraffic::Record r(HeadSize + kPdoLength, count);
    putHead(r.data(), std::uint16_t(kTransmitPdo1Base + nodeId), kPdoLength);
    return r;
}

} // namespace

BusTraffic::BusTraffic(int nodeId, BusTrafficOptions options, Clock::time_point start)
    : m_nodeId(nodeId),
      m_options(std::move(options))
{
    if (!m_options.otherNodes.empty() && m_options.otherPeriodMs > 0)
        m_nextOthers = start + std::chrono::milliseconds(m_options.otherPeriodMs);
}

void BusTraffic::nodeRunsUser(bool running, Clock::time_point now)
{
    if (running == m_userRunning)
        return;
    m_userRunning = running;
    m_nextHeartbeat = running && m_options.heartbeatMs > 0
                          ? now + std::chrono::milliseconds(m_options.heartbeatMs)
                          : Clock::time_point::max();
}

void BusTraffic::takeDue(Clock::time_point now, std::vector<Record> *out)
{
    while (m_nextHeartbeat <= now) {
        out->push_back(heartbeat(m_nodeId));
        m_nextHeartbeat += std::chrono::milliseconds(m_options.heartbeatMs);
    }
    while (m_nextOthers <= now) {
        for (int id : m_options.otherNodes) {
            out->push_back(heartbeat(id));
            out->push_back(pdo(id, m_pdoCount++));
        }
        m_nextOthers += std::chrono::milliseconds(m_options.otherPeriodMs);
    }
}

BusTraffic::Clock::time_point BusTraffic::nextDue() const
{
    return std::min(m_nextHeartbeat, m_nextOthers);
}

} // namespace nodesim
