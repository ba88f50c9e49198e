// The simulated serial-to-CAN adapter and its one node.
//
// One thread serves the pseudo-terminal's master side with poll(): it reads
// what the client wrote, cuts it into records, lets the node answer SDO
// requests, and writes the answers back. Replies that must wait (latency,
// split pieces) and the node's restart sit in a small timetable that sets
// poll()'s time-out, so no request ever waits on a sleep. A self-pipe wakes
// the thread for stop() and hangUp().

#include "nodesim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace nodesim {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFlashBase = 0x8000;
constexpr std::size_t kFlashSize = 0x20000;
constexpr std::size_t kBlockSize = 256;

constexpr std::uint16_t kCommandObject = 0x5100;
constexpr std::uint16_t kModeObject = 0x5101;
constexpr std::uint16_t kBlockDataObject = 0x5102;

constexpr std::uint32_t kCommandKey = 0x3A9C51E7;
constexpr std::uint32_t kFlashKey = 0x5E3B90C4;
constexpr std::uint32_t kModeUser = 0x6E6F726D; // 'norm'
constexpr std::uint32_t kModeBoot = 0x626F6F74; // 'boot'

// SDO command bytes.
constexpr std::uint8_t kDownloadRequest = 0x23; // expedited, four bytes
constexpr std::uint8_t kUploadRequest = 0x40;
constexpr std::uint8_t kDownloadConfirm = 0x60;
constexpr std::uint8_t kUploadAnswer = 0x43;
constexpr std::uint8_t kAbort = 0x80;

// Abort codes.
constexpr std::uint32_t kAbortCommandInvalid = 0x05040001;
constexpr std::uint32_t kAbortWriteOnly = 0x06010001;
constexpr std::uint32_t kAbortReadOnly = 0x06010002;
constexpr std::uint32_t kAbortNoObject = 0x06020000;
constexpr std::uint32_t kAbortNoSubIndex = 0x06090011;
constexpr std::uint32_t kAbortInvalidValue = 0x06090030;
constexpr std::uint32_t kAbortWrongState = 0x08000022;

// A record whose head arrived but whose rest has not come for this long is
// dropped, so that a torn write does not put every later record out of step.
constexpr auto kPartialRecordTimeout = std::chrono::milliseconds(100);
// The file log is flushed at least this often while it has unwritten lines.
constexpr auto kLogFlushInterval = std::chrono::milliseconds(200);
// Bytes held back for a client that does not read; beyond this they are lost
// as an adapter's buffer would lose them.
constexpr std::size_t kMaxOutput = 1 << 20;

std::uint32_t le32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
           | std::uint32_t(p[3]) << 24;
}

void putLe32(std::uint8_t *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}

std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

bool mkdirs(const std::string &dir)
{
    if (dir.empty())
        return false;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        const std::string part = dir.substr(0, pos);
        if (part.empty())
            continue;
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string defaultDosDevicesDir()
{
    std::string base;
    if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        if (!home || !*home) {
            if (const passwd *pw = getpwuid(getuid()))
                home = pw->pw_dir;
        }
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/Quorvex/dosdevices";
}

// "COM12", "com012" -> 12; -1 for names that are no COM port.
long comNumberOfName(const char *name)
{
    if (std::strlen(name) < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o'
        || (name[2] | 0x20) != 'm')
        return -1;
    long value = 0;
    for (const char *p = name + 3; *p; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        value = value * 10 + (*p - '0');
        if (value > 0xFFFFFFFFL)
            return -1;
    }
    return value;
}

bool isDanglingLink(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

bool readLink(const std::string &path, std::string *target)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return false;
    target->assign(buf, std::size_t(n));
    return true;
}

struct Timed
{
    Clock::time_point due;
    Bytes bytes;
    int piece = 0;
};

} // namespace

struct NodeSim::Impl
{
    explicit Impl(Options o) : options(std::move(o)), faults(options.faults) {}

    Options options;

    // Guarded by `mutex`: everything the public calls see.
    mutable std::mutex mutex;
    Faults faults;
    long answeredSinceSilentAfterSet = 0;
    bool boot = false;
    bool bootStepArmed = false;
    bool flashArmed = false;
    bool marked = false;
    bool restarting = false;
    Clock::time_point restartDue;
    long requests = 0;
    std::uint8_t block[kBlockSize];
    Bytes flash = Bytes(kFlashSize, 0xFF);
    bool flashGiven = false; // setFlash() before start(): the file takes these contents
    std::vector<LogEntry> log;
    std::string error;

    // Set up by start(), read-only while the thread runs.
    int master = -1;
    int slave = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    int flashFd = -1;
    std::FILE *logFile = nullptr;
    std::string slavePath;
    std::string linkPath;
    int com = -1;
    std::thread thread;
    bool running = false;

    std::atomic<bool> stopRequested{false};
    std::atomic<bool> hangUpRequested{false};
    std::condition_variable hungUpCv;
    bool hungUp = false; // guarded by mutex

    // The serving thread's own.
    Clock::time_point current; // when the bytes being handled arrived
    Bytes input;
    std::size_t inputPos = 0;
    Clock::time_point lastInput;
    std::deque<Timed> timetable; // in due order
    Bytes output;
    std::size_t outputPos = 0;
    bool logDirty = false;
    Clock::time_point lastLogFlush;

    bool openFlash();
    bool openPty();
    bool registerLink();
    void unregisterLink();
    void closeAll();

    void run();
    void wake();
    void closeMaster();
    void takeInput(Clock::time_point now);
    void handleRecord(const std::uint8_t *rec, std::size_t size, Clock::time_point now);
    void serveSdo(const std::uint8_t *data, Clock::time_point now);
    void upload(std::uint16_t index, std::uint8_t sub);
    void download(std::uint16_t index, std::uint8_t sub, const std::uint8_t *data, Clock::time_point now);
    void command(std::uint8_t sub, const std::uint8_t *data, Clock::time_point now);
    void reply(std::uint8_t cmd, std::uint16_t index, std::uint8_t sub, std::uint32_t value);
    void abort(std::uint16_t index, std::uint8_t sub, std::uint32_t code) { reply(kAbort, index, sub, code); }
    void send(Bytes record, int delayMs);
    void storeBlock(std::uint32_t address);
    void writeFlashFile(std::size_t offset, std::size_t size);
    void finishRestart();
    void releaseDue(Clock::time_point now);
    void flushOutput();
    void logRecord(Direction dir, const std::uint8_t *bytes, std::size_t size, Clock::time_point t,
                   int piece = 0, bool dropped = false);
    void flushLogFile(Clock::time_point now);
};

// ---------------------------------------------------------------- set-up

bool NodeSim::Impl::openFlash()
{
    if (options.flashPath.empty())
        return true;
    flashFd = ::open(options.flashPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (flashFd < 0) {
        error = errnoText("cannot open flash file " + options.flashPath);
        return false;
    }
    if (flashGiven) {
        writeFlashFile(0, kFlashSize);
        return true;
    }
    struct stat st {};
    if (::fstat(flashFd, &st) != 0) {
        error = errnoText("cannot read flash file " + options.flashPath);
        return false;
    }
    const std::size_t have = std::min<std::size_t>(std::size_t(std::max<off_t>(st.st_size, 0)), kFlashSize);
    std::size_t done = 0;
    while (done < have) {
        const ssize_t n = ::pread(flashFd, flash.data() + done, have - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = errnoText("cannot read flash file " + options.flashPath);
            return false;
        }
        done += std::size_t(n);
    }
    // A new (or short) file gets the erased rest.
    if (have < kFlashSize)
        writeFlashFile(have, kFlashSize - have);
    return true;
}

bool NodeSim::Impl::openPty()
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = errnoText("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
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
    termios tio {};
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

bool NodeSim::Impl::registerLink()
{
    if (options.com < 0)
        return true;
    const std::string dir = options.dosDevicesDir.empty() ? defaultDosDevicesDir() : options.dosDevicesDir;
    if (!mkdirs(dir)) {
        error = errnoText("cannot create " + dir);
        return false;
    }

    // Numbers taken by live entries; dead links are cleared away when their
    // number is wanted.
    auto entriesFor = [&dir](long number, std::vector<std::string> *names) {
        names->clear();
        DIR *d = ::opendir(dir.c_str());
        if (!d)
            return;
        while (const dirent *e = ::readdir(d)) {
            if (comNumberOfName(e->d_name) == number)
                names->push_back(dir + "/" + e->d_name);
        }
        ::closedir(d);
    };
    auto tryNumber = [&](long number) -> int { // 1 linked, 0 taken, -1 error
        std::vector<std::string> names;
        entriesFor(number, &names);
        for (const std::string &path : names) {
            if (!isDanglingLink(path))
                return 0;
            ::unlink(path.c_str());
        }
        const std::string link = dir + "/COM" + std::to_string(number);
        if (::symlink(slavePath.c_str(), link.c_str()) == 0) {
            linkPath = link;
            com = int(number);
            return 1;
        }
        if (errno == EEXIST)
            return 0;
        error = errnoText("cannot create " + link);
        return -1;
    };

    if (options.com > 0) {
        const int r = tryNumber(options.com);
        if (r == 0)
            error = "COM" + std::to_string(options.com) + " is already registered in " + dir;
        return r == 1;
    }
    for (long number = 50; number < 100000; ++number) {
        const int r = tryNumber(number);
        if (r != 0)
            return r == 1;
    }
    error = "no free COM number in " + dir;
    return false;
}

void NodeSim::Impl::unregisterLink()
{
    if (linkPath.empty())
        return;
    // Only our own link: somebody may have re-used the name meanwhile.
    std::string target;
    if (readLink(linkPath, &target) && target == slavePath)
        ::unlink(linkPath.c_str());
    linkPath.clear();
    com = -1;
}

void NodeSim::Impl::closeAll()
{
    unregisterLink();
    for (int *fd : {&master, &slave, &wakeRead, &wakeWrite, &flashFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    if (logFile) {
        std::fclose(logFile);
        logFile = nullptr;
    }
}

// ---------------------------------------------------------------- serving

void NodeSim::Impl::wake()
{
    const char c = 1;
    if (wakeWrite >= 0)
        (void)!::write(wakeWrite, &c, 1);
}

void NodeSim::Impl::closeMaster()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (master >= 0)
        ::close(master);
    master = -1;
    hungUp = true;
    hungUpCv.notify_all();
}

void NodeSim::Impl::run()
{
    lastLogFlush = Clock::now();
    std::uint8_t buf[4096];
    while (!stopRequested.load(std::memory_order_relaxed)) {
        if (hangUpRequested.load(std::memory_order_relaxed) && master >= 0)
            closeMaster();

        // Time-out: the next timetable entry, the restart, a torn record,
        // the file log's flush.
        Clock::time_point next = Clock::time_point::max();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!timetable.empty())
                next = std::min(next, timetable.front().due);
            if (restarting)
                next = std::min(next, restartDue);
        }
        if (inputPos < input.size())
            next = std::min(next, lastInput + kPartialRecordTimeout);
        if (logDirty)
            next = std::min(next, lastLogFlush + kLogFlushInterval);
        int timeoutMs = -1;
        if (next != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
            timeoutMs = int(std::clamp<long long>(left, 0, 60000));
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
        const int r = ::poll(fds, nfds, timeoutMs);
        if (r > 0 && (fds[0].revents & POLLIN)) {
            while (::read(wakeRead, buf, sizeof buf) > 0) {
            }
            continue; // re-check the requests first
        }

        const Clock::time_point now = Clock::now();
        current = now;
        if (master >= 0 && r > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                if (inputPos == input.size()) {
                    input.clear();
                    inputPos = 0;
                }
                input.insert(input.end(), buf, buf + n);
                lastInput = now;
                takeInput(now);
            }
        }

        {
            std::lock_guard<std::mutex> lock(mutex);
            if (inputPos < input.size() && now - lastInput >= kPartialRecordTimeout) {
                logRecord(Direction::Received, input.data() + inputPos, input.size() - inputPos, now, 0, true);
                input.clear();
                inputPos = 0;
            }
            if (restarting && now >= restartDue)
                finishRestart();
            releaseDue(now);
        }
        flushOutput();
        if (logDirty && now - lastLogFlush >= kLogFlushInterval)
            flushLogFile(now);
    }
    if (logFile)
        std::fflush(logFile);
}

// Cuts the received bytes into records.
void NodeSim::Impl::takeInput(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (;;) {
        const std::size_t avail = input.size() - inputPos;
        if (avail < 3)
            break;
        const std::uint8_t *rec = input.data() + inputPos;
        const std::size_t length = rec[2];
        if (length > 8) {
            // No CAN frame is that long: we are out of step; skip one byte.
            logRecord(Direction::Received, rec, 1, now, 0, true);
            ++inputPos;
            continue;
        }
        if (avail < 3 + length)
            break;
        handleRecord(rec, 3 + length, now);
        inputPos += 3 + length;
    }
    if (inputPos == input.size()) {
        input.clear();
        inputPos = 0;
    } else if (inputPos > 4096) {
        input.erase(input.begin(), input.begin() + std::ptrdiff_t(inputPos));
        inputPos = 0;
    }
}

void NodeSim::Impl::handleRecord(const std::uint8_t *rec, std::size_t size, Clock::time_point now)
{
    logRecord(Direction::Received, rec, size, now);
    const unsigned id = unsigned(rec[0]) | unsigned(rec[1]) << 8;
    if (id != 0x600u + unsigned(options.nodeId))
        return; // another node's frame
    ++requests;
    if (faults.silent)
        return;
    if (faults.silentAfterRequests >= 0) {
        if (answeredSinceSilentAfterSet >= faults.silentAfterRequests)
            return;
        ++answeredSinceSilentAfterSet;
    }
    if (restarting)
        return; // nobody home until the restart is over
    if (size != 3 + 8)
        return; // no SDO request
    serveSdo(rec + 3, now);
}

void NodeSim::Impl::serveSdo(const std::uint8_t *data, Clock::time_point now)
{
    const std::uint16_t index = std::uint16_t(data[1] | data[2] << 8);
    const std::uint8_t sub = data[3];
    if (data[0] == kUploadRequest)
        upload(index, sub);
    else if (data[0] == kDownloadRequest)
        download(index, sub, data + 4, now);
    else
        abort(index, sub, kAbortCommandInvalid);
}

void NodeSim::Impl::upload(std::uint16_t index, std::uint8_t sub)
{
    switch (index) {
    case kModeObject:
        if (sub != 0)
            return abort(index, sub, kAbortNoSubIndex);
        return reply(kUploadAnswer, index, sub, boot ? kModeBoot : kModeUser);
    case kCommandObject:
        if (sub < 1 || sub > 8 || sub == 5)
            return abort(index, sub, kAbortNoSubIndex);
        return abort(index, sub, kAbortWriteOnly);
    case kBlockDataObject:
        if (sub > 63)
            return abort(index, sub, kAbortNoSubIndex);
        if (!boot)
            return abort(index, sub, kAbortWrongState);
        return reply(kUploadAnswer, index, sub, le32(block + 4 * sub));
    default:
        return abort(index, sub, kAbortNoObject);
    }
}

void NodeSim::Impl::download(std::uint16_t index, std::uint8_t sub, const std::uint8_t *data,
                             Clock::time_point now)
{
    switch (index) {
    case kModeObject:
        if (sub != 0)
            return abort(index, sub, kAbortNoSubIndex);
        return abort(index, sub, kAbortReadOnly);
    case kCommandObject:
        return command(sub, data, now);
    case kBlockDataObject:
        if (sub > 63)
            return abort(index, sub, kAbortNoSubIndex);
        if (!boot)
            return abort(index, sub, kAbortWrongState);
        std::memcpy(block + 4 * sub, data, 4);
        return reply(kDownloadConfirm, index, sub, 0);
    default:
        return abort(index, sub, kAbortNoObject);
    }
}

void NodeSim::Impl::command(std::uint8_t sub, const std::uint8_t *data, Clock::time_point now)
{
    const std::uint16_t index = kCommandObject;
    const std::uint32_t value = le32(data);
    switch (sub) {
    case 1: // first step into boot mode: the node restarts without a word
        if (value != kCommandKey)
            return abort(index, sub, kAbortInvalidValue);
        if (faults.extraReplyToBootStep1)
            reply(kDownloadConfirm, index, sub, 0);
        if (!faults.neverBoot)
            bootStepArmed = true;
        return;
    case 2: // second step into boot mode
        if (value != kCommandKey)
            return abort(index, sub, kAbortInvalidValue);
        if (faults.neverBoot)
            return reply(kDownloadConfirm, index, sub, 0);
        if (!bootStepArmed)
            return abort(index, sub, kAbortWrongState);
        bootStepArmed = false;
        flashArmed = false;
        boot = true;
        return reply(kDownloadConfirm, index, sub, 0);
    case 3: // back to user mode: restarts, then announces itself
        if (value != kCommandKey)
            return abort(index, sub, kAbortInvalidValue);
        bootStepArmed = false;
        flashArmed = false;
        restarting = true;
        restartDue = now + std::chrono::milliseconds(std::max(options.rebootDelayMs, 0));
        return;
    case 4: // firmware mark
        if (value != kCommandKey)
            return abort(index, sub, kAbortInvalidValue);
        if (!boot)
            return abort(index, sub, kAbortWrongState);
        marked = true;
        return reply(kDownloadConfirm, index, sub, 0);
    case 8: // flash key: allows block stores
        if (!boot)
            return abort(index, sub, kAbortWrongState);
        if (value != kFlashKey)
            return abort(index, sub, kAbortInvalidValue);
        flashArmed = true;
        return reply(kDownloadConfirm, index, sub, 0);
    case 6: // store the block buffer at an address
    case 7: // load the block at an address into the buffer
        if (!boot || (sub == 6 && !flashArmed))
            return abort(index, sub, kAbortWrongState);
        if (value < kFlashBase || value > kFlashBase + kFlashSize - kBlockSize || value % kBlockSize != 0)
            return abort(index, sub, kAbortInvalidValue);
        if (sub == 6)
            storeBlock(value);
        else
            std::memcpy(block, flash.data() + (value - kFlashBase), kBlockSize);
        return reply(kDownloadConfirm, index, sub, 0);
    default:
        return abort(index, sub, kAbortNoSubIndex);
    }
}

void NodeSim::Impl::storeBlock(std::uint32_t address)
{
    const std::size_t offset = address - kFlashBase;
    std::memcpy(flash.data() + offset, block, kBlockSize);
    const long bad = faults.corruptFlashOffset;
    if (bad >= long(offset) && bad < long(offset + kBlockSize))
        flash[std::size_t(bad)] = std::uint8_t(~flash[std::size_t(bad)]);
    writeFlashFile(offset, kBlockSize);
}

void NodeSim::Impl::writeFlashFile(std::size_t offset, std::size_t size)
{
    if (flashFd < 0 || offset >= kFlashSize)
        return;
    size = std::min(size, kFlashSize - offset);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(flashFd, flash.data() + offset + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

void NodeSim::Impl::finishRestart()
{
    restarting = false;
    boot = faults.neverUser;
    bootStepArmed = false;
    flashArmed = false;
    if (faults.noBootUp || faults.silent)
        return;
    const unsigned id = 0x700u + unsigned(options.nodeId);
    send(Bytes{std::uint8_t(id), std::uint8_t(id >> 8), 1, 0x00}, 0);
}

void NodeSim::Impl::reply(std::uint8_t cmd, std::uint16_t index, std::uint8_t sub, std::uint32_t value)
{
    const unsigned id = 0x580u + unsigned(options.nodeId);
    Bytes rec(11);
    rec[0] = std::uint8_t(id);
    rec[1] = std::uint8_t(id >> 8);
    rec[2] = 8;
    rec[3] = cmd;
    rec[4] = std::uint8_t(index);
    rec[5] = std::uint8_t(index >> 8);
    rec[6] = sub;
    putLe32(rec.data() + 7, value);
    send(std::move(rec), faults.latencyMs);
}

// Puts a record on the timetable (or straight out when nothing delays it).
void NodeSim::Impl::send(Bytes record, int delayMs)
{
    Clock::time_point due = current + std::chrono::milliseconds(std::max(delayMs, 0));
    if (!timetable.empty())
        due = std::max(due, timetable.back().due);
    if (faults.strayByte) {
        faults.strayByte = false;
        timetable.push_back({due, Bytes{0x00}, 0});
    }
    const int pieces = std::clamp(faults.splitPieces, 1, int(record.size()));
    if (pieces == 1) {
        timetable.push_back({due, std::move(record), 0});
        return;
    }
    // n bytes in p pieces: the later pieces take the remainder (11 in 2: 5, 6).
    const std::size_t base = record.size() / std::size_t(pieces);
    const std::size_t longer = record.size() % std::size_t(pieces);
    std::size_t at = 0;
    for (int i = 0; i < pieces; ++i) {
        const std::size_t len = base + (std::size_t(i) >= std::size_t(pieces) - longer ? 1 : 0);
        timetable.push_back({due, Bytes(record.begin() + std::ptrdiff_t(at), record.begin() + std::ptrdiff_t(at + len)), i + 1});
        at += len;
        due += std::chrono::milliseconds(std::max(faults.splitDelayMs, 0));
    }
}

// Moves what is due from the timetable to the output.
void NodeSim::Impl::releaseDue(Clock::time_point now)
{
    while (!timetable.empty() && timetable.front().due <= now) {
        Timed &t = timetable.front();
        logRecord(Direction::Sent, t.bytes.data(), t.bytes.size(), now, t.piece);
        if (master >= 0 && output.size() - outputPos + t.bytes.size() <= kMaxOutput)
            output.insert(output.end(), t.bytes.begin(), t.bytes.end());
        timetable.pop_front();
    }
}

void NodeSim::Impl::flushOutput()
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

void NodeSim::Impl::logRecord(Direction dir, const std::uint8_t *bytes, std::size_t size,
                              Clock::time_point t, int piece, bool dropped)
{
    LogEntry e;
    e.time = t;
    e.direction = dir;
    e.bytes.assign(bytes, bytes + size);
    e.piece = piece;
    e.dropped = dropped;
    log.push_back(std::move(e));
    if (!logFile)
        return;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    char line[32 + 3 * 4096];
    int len = std::snprintf(line, 32, "%lld.%06lld %s", static_cast<long long>(us / 1000000),
                            static_cast<long long>(us % 1000000), dir == Direction::Received ? "RX" : "TX");
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < size && i < 4096; ++i) {
        line[len++] = ' ';
        line[len++] = digits[bytes[i] >> 4];
        line[len++] = digits[bytes[i] & 15];
    }
    line[len++] = '\n';
    std::fwrite(line, 1, std::size_t(len), logFile);
    logDirty = true;
}

void NodeSim::Impl::flushLogFile(Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (logFile)
        std::fflush(logFile);
    logDirty = false;
    lastLogFlush = now;
}

// ---------------------------------------------------------------- NodeSim

NodeSim::NodeSim(Options options) : d(std::make_unique<Impl>(std::move(options)))
{
    std::memset(d->block, 0xFF, sizeof d->block);
    d->boot = d->options.startInBootMode;
}

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
    bool ok = d->openFlash();
    if (ok && !d->options.logPath.empty()) {
        d->logFile = std::fopen(d->options.logPath.c_str(), "ae");
        if (!d->logFile) {
            d->error = errnoText("cannot open log file " + d->options.logPath);
            ok = false;
        }
    }
    ok = ok && d->openPty() && d->registerLink();
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
    return d->com;
}

std::string NodeSim::linkPath() const
{
    return d->linkPath;
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
    return d->log;
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
    for (const LogEntry &e : d->log) {
        if (e.direction == Direction::Received && !e.dropped)
            records.push_back(e.bytes);
    }
    return records;
}

bool NodeSim::bootMode() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->boot;
}

bool NodeSim::firmwareMarked() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->marked;
}

long NodeSim::requestCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->requests;
}

std::vector<std::uint8_t> NodeSim::flash() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->flash;
}

void NodeSim::setFlash(const std::vector<std::uint8_t> &contents)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    const std::size_t n = std::min(contents.size(), kFlashSize);
    std::copy(contents.begin(), contents.begin() + std::ptrdiff_t(n), d->flash.begin());
    std::fill(d->flash.begin() + std::ptrdiff_t(n), d->flash.end(), 0xFF);
    if (d->flashFd >= 0)
        d->writeFlashFile(0, kFlashSize);
    else
        d->flashGiven = true;
}

} // namespace nodesim
