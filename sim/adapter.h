#pragma once
// The simulated serial-to-CAN adapter, all that a NodeSim is while it runs:
// the pseudo-terminal, the thread that serves it, the cutting of what the
// client writes into records, and the timetable of what goes back. It hands
// the records addressed to the node to the node model and registers the
// port in the dosdevices folder.
//
// One thread serves the pseudo-terminal's master side with ppoll(). Replies
// that must wait (the line model, latency, split pieces) and the node's
// restart sit in the timetable that sets ppoll()'s time-out, so no request
// ever waits on a sleep. A self-pipe wakes the thread for stop() and
// hangUp().

#include "bustraffic.h"
#include "lineswitches.h"
#include "nodemodel.h"
#include "nodesim.h"
#include "recordlog.h"
#include "registration.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace nodesim {

struct Adapter
{
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<std::uint8_t>;

    explicit Adapter(Options o);

    const Options options;

    // Guarded by `mutex`: everything the public calls see.
    mutable std::mutex mutex;
    Faults faults;
    long answeredSinceSilentAfterSet = 0;
    long requests = 0;
    NodeModel node;
    BusTraffic traffic;
    RecordLog log;
    std::string error;

    // Set up by start(), read-only while the thread runs.
    int master = -1;
    int slave = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::string slavePath;
    PortRegistration registration;
    std::thread thread;
    bool running = false;

    std::atomic<bool> stopRequested{false};
    std::atomic<bool> hangUpRequested{false};
    std::condition_variable hungUpCv;
    bool hungUp = false; // guarded by mutex

    // The serving thread's own (and stop()'s once the thread has ended).
    Bytes input;
    std::size_t inputPos = 0;
    Clock::time_point lastInput;
    std::deque<Timed> timetable; // in due order; guarded by mutex
    Bytes output;
    std::size_t outputPos = 0;

    // Opens the pseudo-terminal (raw, our own slave descriptor kept open)
    // and the wake-up pipe. False, with `error`, when something failed.
    bool openPty();
    bool registerPort();
    void closeAll();

    void run();
    void wake();

private:
    void keepLinePace();
    Clock::time_point nextDeadline() const;
    void closeMaster();
    void readInput(Clock::time_point now);
    void takeInput(Clock::time_point now);
    void handleRecord(const std::uint8_t *record, std::size_t size, Clock::time_point now);
    void releaseDue(Clock::time_point now);
    bool midRecord() const;
    void passBusTraffic(Clock::time_point now);
    void send(const Bytes &bytes, int piece, Clock::time_point now);
    void flushOutput();
};

} // namespace nodesim
