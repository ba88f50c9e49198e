// The serial line on Linux: a terminal device in raw mode, locked against a
// second opener, with 4000 ms total read and write deadlines.

#include "serialline.h"
#include "comname.h"
#include "devicescan_posix.h"

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

Handle open(const std::wstring &path)
{
    std::uint32_t port = 0;
    if (!portFromPath(path, &port)) {
        errno = ENOENT;
        return InvalidHandle;
    }
    const std::string device = PosixPorts::devicePathForPort(port, PosixPorts::defaultRoots());
    if (device.empty()) {
        errno = ENOENT;
        return InvalidHandle;
    }
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return InvalidHandle;
    // No sharing: a port another program holds cannot be opened.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !isatty(fd)) {
        const int saved = errno;
        ::close(fd);
        errno = saved == 0 ? ENOTTY : saved;
        return InvalidHandle;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return InvalidHandle;
    }
    // Raw bytes; the speed stays as the driver has it.
    const speed_t ispeed = cfgetispeed(&tio);
    const speed_t ospeed = cfgetospeed(&tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, ispeed);
    cfsetospeed(&tio, ospeed);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    requestLowLatency(fd);
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
    while (*written < size) {
        const ssize_t n = ::write(fd, p + *written, size - *written);
        if (n > 0) {
            *written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The driver takes no more for now (full buffer, output stopped):
            // wait until it does, but not past the deadline.
            const int left = millisecondsLeft(deadline);
            if (left <= 0)
                return false;
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, left) < 0 && errno != EINTR)
                return false;
            if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

bool read(Handle h, void *buffer, std::uint32_t size, std::uint32_t *got)
{
    *got = 0;
    if (h == InvalidHandle)
        return false;
    const int fd = static_cast<int>(h);
    auto *p = static_cast<unsigned char *>(buffer);
    const auto deadline = Clock::now() + std::chrono::milliseconds(ReadTimeoutMs);
    while (*got < size) {
        const int left = millisecondsLeft(deadline);
        if (left <= 0)
            return true;
        pollfd pfd{fd, POLLIN, 0};
        const int r = poll(&pfd, 1, left);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return *got > 0;
        }
        if (r == 0)
            return true; // deadline: what has arrived
        if (pfd.revents & POLLIN) {
            const ssize_t n = ::read(fd, p + *got, size - *got);
            if (n > 0) {
                *got += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            return *got > 0; // hang-up (0 or EIO) or error: what has arrived
        }
        // POLLHUP, POLLERR or POLLNVAL without data.
        return *got > 0;
    }
    return true;
}

bool close(Handle h)
{
    return h != InvalidHandle && ::close(static_cast<int>(h)) == 0;
}

} // namespace SerialLine
