#include "adapter.h"
#include "errnotext.h"
#include "linemodel.h"

#include "canopen/serialcanframe.h"
#include "serial/dosdevices_posix.h"

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace nodesim {

namespace {

using SerialCanFrame::HeadSize;

// A record whose head arrived but whose rest has not come for this long is
// dropped, so that a torn write does not put every later record out of step.
constexpr auto kPartialRecordTimeout = std::chrono::milliseconds(100);
// Bytes held back for a client that does not read; beyond this they are lost
// as an adapter's buffer would lose them.
constexpr std::size_t kMaxOutput = 1 << 20;
// Received bytes already cut into records are let go in chunks of this.
constexpr std::size_t kInputCompactAt = 4096;

} // namespace

Adapter::Adapter(Options o)
    : options(std::move(o)),
      faults(options.faults),
      node(options.nodeId, options.startInBootMode, options.rebootDelayMs),
      traffic(options.nodeId, options.bus, Clock::now())
{
    traffic.nodeRunsUser(!options.startInBootMode, Clock::now());
}

// ---------------------------------------------------------------- set-up

bool Adapter::openPty()
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = errnoText("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0
        || ::ptsname_r(master, name, sizeof name) != 0) {
        error = errnoText("pseudo-terminal set-up");
        return false;
    }
    slavePath = name;
    // Our own slave descriptor keeps the master from seeing EIO while no
    // client has the port open; it is never read.
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = errnoText("cannot open " + slavePath);
        return false;
    }
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0) {
        error = errnoText("tcgetattr");
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) {
        error = errnoText("tcsetattr");
        return false;
    }
    const int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = errnoText("fcntl");
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = errnoText("pipe");
        return false;
    }
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    return true;
}

bool Adapter::registerPort()
{
    if (options.com < 0)
        return true;
    const std::string dir =
        options.dosDevicesDir.empty() ? PosixPorts::dosDevicesDir() : options.dosDevicesDir;
    return registration.add(dir, options.com, slavePath, &error);
}

void Adapter::closeAll()
{
    registration.remove();
    for (int *fd : {&master, &slave, &wakeRead, &wakeWrite}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    node.flash().close();
    log.closeFile();
}

// ---------------------------------------------------------------- serving

void Adapter::wake()
{
    const char c = 1;
    if (wakeWrite >= 0)
        (void)!::write(wakeWrite, &c, 1);
}

void Adapter::closeMaster()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (master >= 0)
        ::close(master);
    master = -1;
    hungUp = true;
    hungUpCv.notify_all();
}

// The next thing that is due: a timetable entry, the restart, a torn
// record's end, the file log's flush.
Adapter::Clock::time_point Adapter::nextDeadline() const
{
    Clock::time_point next = Clock::time_point::max();
    std::lock_guard<std::mutex> lock(mutex);
    if (!timetable.empty())
        next = std::min(next, timetable.front().due);
    if (node.restarting())
        next = std::min(next, node.restartDue());
    if (inputPos < input.size())
        next = std::min(next, lastInput + kPartialRecordTimeout);
    if (!midRecord())
        next = std::min(next, traffic.nextDue());
    return std::min(next, log.flushDue());
}

// On a busy machine a woken thread may wait for a core for hundreds of
// microseconds, which a real adapter never does. Where the system allows it
// (root, or an RLIMIT_RTPRIO), the thread that keeps a modelled line's pace
// runs at the lowest real-time priority, which takes a core at once; else it
// stays as it was. The thread only ever sleeps in ppoll() between records.
void Adapter::keepLinePace()
{
    sched_param param{};
    param.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    (void)::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
}

void Adapter::run()
{
    // The line model holds each reply back by fractions of a millisecond;
    // with the kernel's default timer slack (50 us) every such wait could
    // end that much late, which a full update's 66,561 exchanges add up to
    // seconds the modelled line does not take. The slack is per thread.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (options.line.baud > 0 || options.line.canBitrate > 0 || options.line.adapterLatencyMs > 0)
        keepLinePace();
    {
        std::lock_guard<std::mutex> lock(mutex);
        log.flushFile(Clock::now());
    }
    std::uint8_t buf[4096];
    while (!stopRequested.load(std::memory_order_relaxed)) {
        if (hangUpRequested.load(std::memory_order_relaxed) && master >= 0)
            closeMaster();

        // To the nanosecond: the line model's delays are fractions of a
        // millisecond, which poll()'s whole milliseconds would round up.
        const Clock::time_point next = nextDeadline();
        timespec timeout{};
        timespec *wait = nullptr;
        if (next != Clock::time_point::max()) {
            const auto left = std::clamp<Clock::duration>(next - Clock::now(), Clock::duration(0),
                                                          std::chrono::seconds(60));
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = time_t(ns / 1000000000);
            timeout.tv_nsec = long(ns % 1000000000);
            wait = &timeout;
        }

        pollfd fds[2];
        nfds_t nfds = 0;
        fds[nfds++] = {wakeRead, POLLIN, 0};
        if (master >= 0) {
            short events = POLLIN;
            if (outputPos < output.size())
                events |= POLLOUT;
            fds[nfds++] = {master, events, 0};
        }
        const int r = ::ppoll(fds, nfds, wait, nullptr);
        if (r > 0 && (fds[0].revents & POLLIN)) {
            while (::read(wakeRead, buf, sizeof buf) > 0) {
            }
            continue; // re-check the requests first
        }

        const Clock::time_point now = Clock::now();
        if (master >= 0 && r > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readInput(now);

        {
            std::lock_guard<std::mutex> lock(mutex);
            if (inputPos < input.size() && now - lastInput >= kPartialRecordTimeout) {
                log.add(Direction::Received, input.data() + inputPos, input.size() - inputPos, now,
                        0, true);
                input.clear();
                inputPos = 0;
            }
            if (node.restarting() && now >= node.restartDue()) {
                Bytes bootUp = node.finishRestart(faults);
                if (!bootUp.empty()) {
                    const auto delay = fromNode(options.line, bootUp.size());
                    schedule(&timetable, std::move(bootUp), now, delay, &faults);
                }
            }
            releaseDue(now);
            passBusTraffic(now);
        }
        flushOutput();
        std::lock_guard<std::mutex> lock(mutex);
        if (now >= log.flushDue())
            log.flushFile(now);
    }
    std::lock_guard<std::mutex> lock(mutex);
    log.flushFile(Clock::now());
}

void Adapter::readInput(Clock::time_point now)
{
    std::uint8_t buf[4096];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0)
        return;
    if (inputPos == input.size()) {
        input.clear();
        inputPos = 0;
    }
    input.insert(input.end(), buf, buf + n);
    lastInput = now;
    takeInput(now);
}

// Cuts the received bytes into records by their length byte.
void Adapter::takeInput(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (;;) {
        const std::size_t avail = input.size() - inputPos;
        if (avail < HeadSize)
            break;
        const std::uint8_t *record = input.data() + inputPos;
        const std::size_t length = record[SerialCanFrame::LengthOffset];
        if (!SerialCanFrame::isFrameHead(record)) {
            // No CAN frame has such a head: we are out of step; skip one byte.
            log.add(Direction::Received, record, 1, now, 0, true);
            ++inputPos;
            continue;
        }
        if (avail < HeadSize + length)
            break;
        handleRecord(record, HeadSize + length, now);
        inputPos += HeadSize + length;
    }
    if (inputPos == input.size()) {
        input.clear();
        inputPos = 0;
    } else if (inputPos > kInputCompactAt) {
        input.erase(input.begin(), input.begin() + std::ptrdiff_t(inputPos));
        inputPos = 0;
    }
}

void Adapter::handleRecord(const std::uint8_t *record, std::size_t size, Clock::time_point now)
{
    log.add(Direction::Received, record, size, now);
    if (SerialCanFrame::getU16(record) != SerialCanFrame::SdoRequestBase + unsigned(options.nodeId))
        return; // another node's frame
    ++requests;
    if (!mayAnswer(faults, &answeredSinceSilentAfterSet))
        return;
    if (size != SerialCanFrame::SdoRecordSize)
        return; // no SDO request
    std::vector<Bytes> replies;
    node.serve(record, now, faults, &replies);
    // The request crossed the line before the node saw it; each reply
    // crosses it back after the one before.
    std::chrono::nanoseconds delay =
        std::chrono::milliseconds(faults.latencyMs) + toNode(options.line, size);
    for (Bytes &reply : replies) {
        delay += fromNode(options.line, reply.size());
        schedule(&timetable, std::move(reply), now, delay, &faults);
    }
}

// Moves what is due from the timetable to the output.
void Adapter::releaseDue(Clock::time_point now)
{
    while (!timetable.empty() && timetable.front().due <= now) {
        send(timetable.front().bytes, timetable.front().piece, now);
        timetable.pop_front();
    }
}

// Whether a split reply has gone out in part: nothing may come between its
// pieces.
bool Adapter::midRecord() const
{
    return !timetable.empty() && timetable.front().piece > 1;
}

// Passes on what the rest of the bus sent by now, between whole records.
void Adapter::passBusTraffic(Clock::time_point now)
{
    traffic.nodeRunsUser(!node.bootMode() && !node.restarting(), now);
    if (midRecord())
        return;
    std::vector<Bytes> frames;
    traffic.takeDue(now, &frames);
    for (const Bytes &frame : frames)
        send(frame, 0, now);
}

void Adapter::send(const Bytes &bytes, int piece, Clock::time_point now)
{
    log.add(Direction::Sent, bytes.data(), bytes.size(), now, piece);
    if (master >= 0 && output.size() - outputPos + bytes.size() <= kMaxOutput)
        output.insert(output.end(), bytes.begin(), bytes.end());
}

void Adapter::flushOutput()
{
    while (master >= 0 && outputPos < output.size()) {
        const ssize_t n = ::write(master, output.data() + outputPos, output.size() - outputPos);
        if (n > 0) {
            outputPos += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN)
                outputPos = output.size(); // the line is gone
            break;
        }
    }
    if (outputPos == output.size()) {
        output.clear();
        outputPos = 0;
    }
}

} // namespace nodesim
