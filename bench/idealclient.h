#pragma once
// The ideal client of the benchmarks: the least a program can do to run the
// same SDO exchanges with the node over the same kind of line. The line is a
// plain POSIX open of the pseudo-terminal's slave side in raw mode; a request
// is one write() of its 11 bytes, a reply is poll() + read() until its 11
// bytes are in. No logging, no timers, no Qt. The tool's figures are set
// beside it to show what the tool's own code adds to each exchange.

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace idealclient {

constexpr std::size_t kRecord = 11;
constexpr int kReadTimeoutMs = 4000; // as the tool's line
constexpr int kBlocks = 512;
constexpr int kWords = 64;

class Line
{
public:
    explicit Line(const std::string &path)
    {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0) {
            close();
            return;
        }
        ::cfmakeraw(&tio);
        tio.c_cflag |= CREAD | CLOCAL;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    ~Line() { close(); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool ok() const { return m_fd >= 0; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void purge() { ::tcflush(m_fd, TCIOFLUSH); }

    bool send(const std::uint8_t *bytes, std::size_t size)
    {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(m_fd, bytes + done, size - done);
            if (n > 0) {
                done += std::size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd pfd{m_fd, POLLOUT, 0};
                ::poll(&pfd, 1, -1);
            } else {
                return false;
            }
        }
        return true;
    }

    // False when a poll() waits kReadTimeoutMs in vain.
    bool receive(std::uint8_t *bytes, std::size_t size)
    {
        std::size_t got = 0;
        while (got < size) {
            pollfd pfd{m_fd, POLLIN, 0};
            const int r = ::poll(&pfd, 1, kReadTimeoutMs);
            if (r == 0)
                return false;
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            const ssize_t n = ::read(m_fd, bytes + got, size - got);
            if (n > 0)
                got += std::size_t(n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                return false;
        }
        return true;
    }

private:
    int m_fd = -1;
};

// SDO expedited transfers of four bytes to one node.
class Client
{
public:
    Client(Line &line, int nodeId) : m_line(line), m_node(nodeId) {}

    bool download(std::uint16_t index, std::uint8_t sub, const std::uint8_t *data)
    {
        std::uint8_t request[kRecord];
        build(request, 0x23, index, sub, data);
        std::uint8_t reply[kRecord];
        return m_line.send(request, kRecord) && m_line.receive(reply, kRecord);
    }
    bool download(std::uint16_t index, std::uint8_t sub, std::uint32_t value)
    {
        std::uint8_t data[4];
        put32(data, value);
        return download(index, sub, data);
    }
    // A request whose reply is not read (the node restarts on it).
    bool downloadOnly(std::uint16_t index, std::uint8_t sub, std::uint32_t value)
    {
        std::uint8_t data[4];
        put32(data, value);
        std::uint8_t request[kRecord];
        build(request, 0x23, index, sub, data);
        return m_line.send(request, kRecord);
    }
    // The reply's four data bytes go to `data`.
    bool upload(std::uint16_t index, std::uint8_t sub, std::uint8_t *data)
    {
        std::uint8_t request[kRecord];
        build(request, 0x40, index, sub, nullptr);
        std::uint8_t reply[kRecord];
        if (!m_line.send(request, kRecord) || !m_line.receive(reply, kRecord))
            return false;
        std::memcpy(data, reply + 7, 4);
        return true;
    }
    bool upload32(std::uint16_t index, std::uint8_t sub, std::uint32_t *value)
    {
        std::uint8_t data[4];
        if (!upload(index, sub, data))
            return false;
        *value = std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16
                 | std::uint32_t(data[3]) << 24;
        return true;
    }

    static void put32(std::uint8_t *p, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            p[i] = std::uint8_t(v >> (8 * i));
    }

private:
    void build(std::uint8_t *r, std::uint8_t command, std::uint16_t index, std::uint8_t sub,
               const std::uint8_t *data) const
    {
        r[0] = std::uint8_t(m_node);
        r[1] = 0x06;
        r[2] = 8;
        r[3] = command;
        r[4] = std::uint8_t(index);
        r[5] = std::uint8_t(index >> 8);
        r[6] = sub;
        for (int i = 0; i < 4; ++i)
            r[7 + i] = data ? data[i] : 0;
    }

    Line &m_line;
    int m_node;
};

constexpr std::uint16_t kCommandObject = 0x5100;
constexpr std::uint16_t kModeObject = 0x5101;
constexpr std::uint16_t kBlockDataObject = 0x5102;
constexpr std::uint32_t kCommandKey = 0x3A9C51E7;
constexpr std::uint32_t kFlashKey = 0x5E3B90C4;
constexpr std::uint32_t kModeBoot = 0x626F6F74;
constexpr std::uint32_t kModeNorm = 0x6E6F726D;
constexpr std::uint32_t kFlashBase = 0x8000;

// The flash key, then per block its 64 words and its address:
// 1 + 65 * blocks exchanges.
inline bool writeImage(Client &c, const std::uint8_t *image, int blocks)
{
    if (!c.download(kCommandObject, 8, kFlashKey))
        return false;
    for (int j = 0; j < blocks; ++j) {
        for (int k = 0; k < kWords; ++k) {
            if (!c.download(kBlockDataObject, std::uint8_t(k), image + 256 * j + 4 * k))
                return false;
        }
        if (!c.download(kCommandObject, 6, kFlashBase + 256u * unsigned(j)))
            return false;
    }
    return true;
}

// Per block its address, then its 64 words: 65 * blocks exchanges.
inline bool readImage(Client &c, std::uint8_t *out, int blocks)
{
    for (int j = 0; j < blocks; ++j) {
        if (!c.download(kCommandObject, 7, kFlashBase + 256u * unsigned(j)))
            return false;
        for (int k = 0; k < kWords; ++k) {
            if (!c.upload(kBlockDataObject, std::uint8_t(k), out + 256 * j + 4 * k))
                return false;
        }
    }
    return true;
}

// A whole update of a node in user mode, with the pauses the node needs
// (500 ms after the first boot command, 5000 ms after the user-mode
// command): mode read, boot commands, mode read, write, read-back and
// comparison, firmware mark, user-mode command, 4-byte boot-up record, mode
// read. `readBack` takes 256 * blocks bytes. Returns an empty text on
// success, else what went wrong.
inline std::string update(const std::string &path, int nodeId, const std::uint8_t *image,
                          int blocks, std::uint8_t *readBack)
{
    Line line(path);
    if (!line.ok())
        return "cannot open " + path;
    line.purge();
    Client c(line, nodeId);
    std::uint32_t mode = 0;
    if (!c.upload32(kModeObject, 0, &mode))
        return "no reply to the mode read";
    if (mode != kModeBoot) {
        if (!c.downloadOnly(kCommandObject, 1, kCommandKey))
            return "write failed";
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (!c.download(kCommandObject, 2, kCommandKey))
            return "no reply to the second boot command";
        if (!c.upload32(kModeObject, 0, &mode) || mode != kModeBoot)
            return "the node did not enter boot mode";
    }
    if (!writeImage(c, image, blocks))
        return "no reply during the write";
    if (!readImage(c, readBack, blocks))
        return "no reply during the read-back";
    if (std::memcmp(image, readBack, std::size_t(blocks) * 256) != 0)
        return "read-back differs";
    if (!c.download(kCommandObject, 4, kCommandKey))
        return "no reply to the firmware mark";
    if (!c.downloadOnly(kCommandObject, 3, kCommandKey))
        return "write failed";
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    std::uint8_t bootUp[4];
    if (!line.receive(bootUp, sizeof bootUp))
        return "no boot-up record";
    if (!c.upload32(kModeObject, 0, &mode) || mode != kModeNorm)
        return "the node did not return to user mode";
    return std::string();
}

} // namespace idealclient
