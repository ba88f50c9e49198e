// The serial line on Linux: a terminal device in raw mode, locked against a
// second opener and not taken from a program that announced its hold (lock
// file, exclusive use), with 4000 ms total read and write deadlines.

#include "serialline.h"
#include "comname.h"
#include "linestate_posix.h"
#include "openfailure.h"
#include "portholder_posix.h"
#include "serialdevicescan_posix.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace SerialLine {

namespace {

// "\\.\COM12" -> 12; false for anything else.
bool portFromPath(const std::wstring &path, std::uint32_t *port)
{
    static const std::wstring prefix = L"\\\\.\\";
    if (path.compare(0, prefix.size(), prefix) != 0)
        return false;
    return parseComDeviceName(path.c_str() + prefix.size(), path.size() - prefix.size(), port);
}

using Clock = std::chrono::steady_clock;

// Time to a deadline for poll(), rounded up so that a wait never ends early.
int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void requestLowLatency(int fd)
{
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
}

} // namespace

std::string systemErrorText(std::uint32_t code)
{
    return "error " + std::to_string(code) + " (" + std::strerror(static_cast<int>(code)) + ")";
}

namespace {

OpenFailure kindOf(int code)
{
    switch (code) {
    case ENOENT:
    case ENOTDIR:
        return OpenFailure::Missing;
    case EACCES:
    case EPERM:
        return OpenFailure::NotAllowed;
    case EBUSY:
    case EWOULDBLOCK:
        return OpenFailure::InUse;
    case ENXIO:
    case ENODEV:
    case EIO:
        return OpenFailure::Gone;
    case ENOTTY:
        return OpenFailure::NotSerial;
    default:
        return OpenFailure::Refused;
    }
}

// The holder as the user's line names it: its program, else its process.
std::string holderName(const PosixPorts::Holder &holder)
{
    if (holder.pid == 0)
        return "";
    return holder.program.empty() ? "process " + std::to_string(holder.pid) : holder.program;
}

// Closes `fd` and keeps errno for the caller.
Handle closeKeepingErrno(int fd, int code)
{
    if (fd >= 0)
        ::close(fd);
    errno = code;
    return InvalidHandle;
}

// Reports why the open of `device` failed at `step`, keeps the user's line
// for it (naming the holder of a busy port when it can be found), closes
// `fd` and keeps errno for the caller.
Handle openFailed(int fd, const std::string &device, const char *step)
{
    const int saved = errno;
    const std::string error = systemErrorText(std::uint32_t(saved));
    report("Serial open of " + device + " failed at " + step + ": " + error);
    const OpenFailure kind = kindOf(saved);
    PosixPorts::Holder holder;
    if (kind == OpenFailure::InUse && PosixPorts::findOpener(device, &holder))
        report("Serial port " + device + " is held by " + PosixPorts::describeHolder(holder));
    setOpenError(describeOpenFailure(kind, holderName(holder), error));
    return closeKeepingErrno(fd, saved);
}

// A terminal program that opened the port first reads the node's replies
// away; it says so in a lock file or by exclusive use (which keeps out all
// but root). True, with the holder and how it showed, when it did.
bool heldByAnother(int fd, const std::string &device, PosixPorts::Holder *holder, std::string *how)
{
    if (PosixPorts::lockFileHolder(device, holder)) {
        *how = holder->how;
        return true;
    }
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive == 0)
        return false;
    PosixPorts::findOpener(device, holder);
    *how = "it set the device to exclusive use";
    return true;
}

Handle refusedAsHeld(int fd, const std::string &device, const PosixPorts::Holder &holder,
                     const std::string &how)
{
    const std::string by = holder.pid ? PosixPorts::describeHolder(holder) : "another program";
    report("Serial open of " + device + " refused: held by " + by + ", " + how);
    setOpenError(describeOpenFailure(OpenFailure::InUse, holderName(holder), how));
    return closeKeepingErrno(fd, EBUSY);
}

// The errno of a line that signalled end of file: a hung-up terminal
// answers every request with EIO.
int hangUpCode(int fd)
{
    termios tio{};
    return tcgetattr(fd, &tio) != 0 ? errno : EIO;
}

} // namespace

Handle open(const std::wstring &path)
{
    std::uint32_t port = 0;
    if (!portFromPath(path, &port)) {
        setOpenError(describeOpenFailure(OpenFailure::Missing, "", systemErrorText(ENOENT)));
        errno = ENOENT;
        return InvalidHandle;
    }
    const std::string device = PosixPorts::devicePathForPort(port, PosixPorts::defaultRoots());
    if (device.empty()) {
        errno = ENOENT;
        return openFailed(-1, "COM" + std::to_string(port), "finding its device");
    }
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return openFailed(fd, device, "open");
    // No sharing: a port another program holds cannot be opened.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return openFailed(fd, device, "flock (held by another program)");
    if (!isatty(fd))
        return openFailed(fd, device, "isatty");
    PosixPorts::Holder holder;
    std::string how;
    if (heldByAnother(fd, device, &holder, &how))
        return refusedAsHeld(fd, device, holder, how);
    // Nor can a program that does not use flock (a terminal program, cat, a
    // modem manager) open it while we hold it: every later open gets EBUSY,
    // unless it is root's.
    if (ioctl(fd, TIOCEXCL) != 0)
        return openFailed(fd, device, "TIOCEXCL");
    termios found{};
    if (tcgetattr(fd, &found) != 0)
        return openFailed(fd, device, "tcgetattr");
    const termios wanted = PosixLine::rawSettings(found);
    if (tcsetattr(fd, TCSANOW, &wanted) != 0)
        return openFailed(fd, device, "tcsetattr");
    termios now = wanted;
    tcgetattr(fd, &now);
    report(PosixLine::describeOpen(found, wanted, now));
    requestLowLatency(fd);
    setOpenError("");
    return fd;
}

bool setTimeouts(Handle h)
{
    // The deadline is applied by read() itself; nothing to tell the driver.
    return h != InvalidHandle;
}

bool purge(Handle h)
{
    return h != InvalidHandle && tcflush(static_cast<int>(h), TCIOFLUSH) == 0;
}

bool write(Handle h, const void *data, std::uint32_t size, std::uint32_t *written)
{
    *written = 0;
    if (h == InvalidHandle)
        return false;
    const int fd = static_cast<int>(h);
    const auto *p = static_cast<const unsigned char *>(data);
    const auto deadline = Clock::now() + std::chrono::milliseconds(WriteTimeoutMs);
    bool lineError = false; // poll saw an error or hang-up
    while (*written < size) {
        const ssize_t n = ::write(fd, p + *written, size - *written);
        if (n > 0) {
            *written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            reportFailure("write", *written, size, std::uint32_t(errno));
            return false;
        }
        if (lineError) {
            reportFailure("write", *written, size, std::uint32_t(hangUpCode(fd)));
            return false;
        }
        // The driver takes no more for now (full buffer, output stopped):
        // wait until it does, but not past the deadline.
        const int left = millisecondsLeft(deadline);
        if (left <= 0) {
            reportDeadline("write", *written, size, WriteTimeoutMs);
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, left) < 0 && errno != EINTR) {
            reportFailure("write", *written, size, std::uint32_t(errno));
            return false;
        }
        lineError = pfd.revents & (POLLERR | POLLHUP | POLLNVAL);
    }
    return true;
}

bool read(Handle h, void *buffer, std::uint32_t size, std::uint32_t *got, std::uint32_t timeoutMs)
{
    *got = 0;
    if (h == InvalidHandle)
        return false;
    const int fd = static_cast<int>(h);
    auto *p = static_cast<unsigned char *>(buffer);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (*got < size) {
        const int left = millisecondsLeft(deadline);
        pollfd pfd{fd, POLLIN, 0};
        const int r = left > 0 ? poll(&pfd, 1, left) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            reportFailure("read", *got, size, std::uint32_t(errno));
            return *got > 0;
        }
        if (r == 0) {
            // Deadline: what has arrived.
            reportDeadline("read", *got, size, timeoutMs);
            return true;
        }
        // Data, or an error or hang-up that the read names.
        const ssize_t n = ::read(fd, p + *got, size - *got);
        if (n > 0) {
            *got += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const bool noData = n == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
        if (n < 0 && noData && (pfd.revents & POLLIN))
            continue;
        reportFailure("read", *got, size, std::uint32_t(noData ? hangUpCode(fd) : errno));
        return *got > 0; // what has arrived
    }
    return true;
}

bool close(Handle h)
{
    if (h == InvalidHandle)
        return false;
    const int fd = static_cast<int>(h);
    // Unsent output is dropped: a line held off by flow control or a stalled
    // adapter would otherwise keep close() waiting for it (up to 30 s in
    // common USB serial drivers).
    tcflush(fd, TCOFLUSH);
    // The device outlives our descriptor while others hold it open: it must
    // not stay closed to them.
    ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0;
}

} // namespace SerialLine
