// The simulator's public face: starting and stopping the adapter, the fault
// switches, and what the node did. The parts live in adapter.cpp (the line),
// nodemodel.cpp (the node), lineswitches.cpp (the line's faults),
// registration.cpp (the COM number), flashstore.cpp and recordlog.cpp.

#include "nodesim.h"
#include "adapter.h"

#include <system_error>

#include <unistd.h>

namespace nodesim {

NodeSim::NodeSim(Options options) : adapter(std::make_unique<Adapter>(std::move(options))) {}

NodeSim::~NodeSim()
{
    stop();
}

bool NodeSim::start()
{
    if (adapter->running)
        return true;
    if (adapter->options.nodeId < 1 || adapter->options.nodeId > 127) {
        adapter->error =
            "node ID " + std::to_string(adapter->options.nodeId) + " is outside 1 to 127";
        return false;
    }
    adapter->error.clear();
    adapter->stopRequested = false;
    adapter->hangUpRequested = false;
    adapter->hungUp = false;
    bool ok = adapter->options.flashPath.empty()
              || adapter->node.flash().open(adapter->options.flashPath, &adapter->error);
    if (ok && !adapter->options.logPath.empty())
        ok = adapter->log.openFile(adapter->options.logPath, &adapter->error);
    ok = ok && adapter->openPty() && adapter->registerPort();
    if (ok) {
        try {
            adapter->thread = std::thread([this] { adapter->run(); });
        } catch (const std::system_error &e) {
            adapter->error = e.what();
            ok = false;
        }
    }
    if (!ok) {
        adapter->closeAll();
        return false;
    }
    adapter->running = true;
    return true;
}

void NodeSim::stop()
{
    if (adapter->running) {
        adapter->stopRequested = true;
        adapter->wake();
        adapter->thread.join();
        adapter->running = false;
    }
    adapter->closeAll();
    std::lock_guard<std::mutex> lock(adapter->mutex);
    adapter->timetable.clear();
    adapter->output.clear();
    adapter->outputPos = 0;
    adapter->input.clear();
    adapter->inputPos = 0;
}

std::string NodeSim::error() const
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->error;
}

std::string NodeSim::slavePath() const
{
    return adapter->slavePath;
}

int NodeSim::comNumber() const
{
    return adapter->registration.com();
}

std::string NodeSim::linkPath() const
{
    return adapter->registration.linkPath();
}

void NodeSim::setFaults(const Faults &faults)
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    if (faults.silentAfterRequests != adapter->faults.silentAfterRequests)
        adapter->answeredSinceSilentAfterSet = 0;
    adapter->faults = faults;
}

Faults NodeSim::faults() const
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->faults;
}

void NodeSim::hangUp()
{
    if (!adapter->running) {
        if (adapter->master >= 0)
            ::close(adapter->master);
        adapter->master = -1;
        return;
    }
    std::unique_lock<std::mutex> lock(adapter->mutex);
    if (adapter->hungUp)
        return;
    adapter->hangUpRequested = true;
    adapter->wake();
    adapter->hungUpCv.wait(lock, [this] { return adapter->hungUp; });
}

std::vector<LogEntry> NodeSim::log() const
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->log.entries();
}

void NodeSim::clearLog()
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    adapter->log.clear();
}

std::vector<std::vector<std::uint8_t>> NodeSim::receivedRecords() const
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    std::vector<std::vector<std::uint8_t>> records;
    for (const LogEntry &e : adapter->log.entries()) {
        if (e.direction == Direction::Received && !e.dropped)
            records.push_back(e.bytes);
    }
    return records;
}

bool NodeSim::bootMode() const
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->node.bootMode();
}

bool NodeSim::firmwareMarked() const
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->node.firmwareMarked();
}

long NodeSim::requestCount() const
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->requests;
}

std::vector<std::uint8_t> NodeSim::flash() const
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    return adapter->node.flash().contents();
}

void NodeSim::setFlash(const std::vector<std::uint8_t> &contents)
{
    std::lock_guard<std::mutex> lock(adapter->mutex);
    adapter->node.flash().setContents(contents);
}

} // namespace nodesim
