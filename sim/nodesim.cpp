// The simulator's public face: starting and stopping the adapter, the fault
// switches, and what the node did. The parts live in adapter.cpp (the line),
// nodemodel.cpp (the node), lineswitches.cpp (the line's faults),
// registration.cpp (the COM number), flashstore.cpp and recordlog.cpp.

#include "nodesim.h"
#include "adapter.h"

#include <system_error>

#include <unistd.h>

namespace nodesim {

NodeSim::NodeSim(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

NodeSim::~NodeSim()
{
    stop();
}

bool NodeSim::start()
{
    if (d->running)
        return true;
    if (d->options.nodeId < 1 || d->options.nodeId > 127) {
        d->error = "node ID " + std::to_string(d->options.nodeId) + " is outside 1 to 127";
        return false;
    }
    d->error.clear();
    d->stopRequested = false;
    d->hangUpRequested = false;
    d->hungUp = false;
    bool ok = d->options.flashPath.empty() || d->node.flash().open(d->options.flashPath, &d->error);
    if (ok && !d->options.logPath.empty())
        ok = d->log.openFile(d->options.logPath, &d->error);
    ok = ok && d->openPty() && d->registerPort();
    if (ok) {
        try {
            d->thread = std::thread([this] { d->run(); });
        } catch (const std::system_error &e) {
            d->error = e.what();
            ok = false;
        }
    }
    if (!ok) {
        d->closeAll();
        return false;
    }
    d->running = true;
    return true;
}

void NodeSim::stop()
{
    if (d->running) {
        d->stopRequested = true;
        d->wake();
        d->thread.join();
        d->running = false;
    }
    d->closeAll();
    std::lock_guard<std::mutex> lock(d->mutex);
    d->timetable.clear();
    d->output.clear();
    d->outputPos = 0;
    d->input.clear();
    d->inputPos = 0;
}

std::string NodeSim::error() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->error;
}

std::string NodeSim::slavePath() const
{
    return d->slavePath;
}

int NodeSim::comNumber() const
{
    return d->registration.com();
}

std::string NodeSim::linkPath() const
{
    return d->registration.linkPath();
}

void NodeSim::setFaults(const Faults &faults)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (faults.silentAfterRequests != d->faults.silentAfterRequests)
        d->answeredSinceSilentAfterSet = 0;
    d->faults = faults;
}

Faults NodeSim::faults() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->faults;
}

void NodeSim::hangUp()
{
    if (!d->running) {
        if (d->master >= 0)
            ::close(d->master);
        d->master = -1;
        return;
    }
    std::unique_lock<std::mutex> lock(d->mutex);
    if (d->hungUp)
        return;
    d->hangUpRequested = true;
    d->wake();
    d->hungUpCv.wait(lock, [this] { return d->hungUp; });
}

std::vector<LogEntry> NodeSim::log() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->log.entries();
}

void NodeSim::clearLog()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->log.clear();
}

std::vector<std::vector<std::uint8_t>> NodeSim::receivedRecords() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    std::vector<std::vector<std::uint8_t>> records;
    for (const LogEntry &e : d->log.entries()) {
        if (e.direction == Direction::Received && !e.dropped)
            records.push_back(e.bytes);
    }
    return records;
}

bool NodeSim::bootMode() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->node.bootMode();
}

bool NodeSim::firmwareMarked() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->node.firmwareMarked();
}

long NodeSim::requestCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->requests;
}

std::vector<std::uint8_t> NodeSim::flash() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->node.flash().contents();
}

void NodeSim::setFlash(const std::vector<std::uint8_t> &contents)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->node.flash().setContents(contents);
}

} // namespace nodesim
