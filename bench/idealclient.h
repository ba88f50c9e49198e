#pragma once
// The ideal client of the benchmarks: the least a program can do to run the
// same SDO exchanges with the node over the same kind of line. The line is a
// plain POSIX open of the pseudo-terminal's slave side in raw mode; a request
// is one write() of its 11 bytes, a reply is poll() + read() until its 11
// bytes are in. No logging, no timers, no Qt. The tool's figures are set
// beside it to show what the tool's own code adds to each exchange.

#include "canopen/flashgeometry.h"
#include "canopen/modepauses.h"
#include "canopen/nodeobjects.h"
#include "canopen/serialcanframe.h"
#include "serial/serialline.h"

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

using namespace FlashGeometry;
using namespace NodeObjects;

constexpr std::size_t kRecord = SerialCanFrame::SdoRecordSize;
constexpr int kReadTimeoutMs = int(SerialLine::ReadTimeoutMs); // as the tool's line

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
        build(request, SerialCanFrame::SdoDownloadRequest, index, sub, data);
        std::uint8_t reply[kRecord];
        return m_line.send(request, kRecord) && m_line.receive(reply, kRecord);
    }
    bool download(std::uint16_t index, std::uint8_t sub, std::uint32_t value)
    {
        std::uint8_t data[SerialCanFrame::SdoDataSize];
        SerialCanFrame::putU32(data, value);
        return download(index, sub, data);
    }
    // A request whose reply is not read (the node restarts on it).
    bool downloadOnly(std::uint16_t index, std::uint8_t sub, std::uint32_t value)
    {
        std::uint8_t data[SerialCanFrame::SdoDataSize];
        SerialCanFrame::putU32(data, value);
        std::uint8_t request[kRecord];
        build(request, SerialCanFrame::SdoDownloadRequest, index, sub, data);
        return m_line.send(request, kRecord);
    }
    // The reply's four data bytes go to `data`.
    bool upload(std::uint16_t index, std::uint8_t sub, std::uint8_t *data)
    {
        std::uint8_t request[kRecord];
        build(request, SerialCanFrame::SdoUploadRequest, index, sub, nullptr);
        std::uint8_t reply[kRecord];
        if (!m_line.send(request, kRecord) || !m_line.receive(reply, kRecord))
            return false;
        std::memcpy(data, reply + SerialCanFrame::SdoDataOffset, SerialCanFrame::SdoDataSize);
        return true;
    }
    bool upload32(std::uint16_t index, std::uint8_t sub, std::uint32_t *value)
    {
        std::uint8_t data[SerialCanFrame::SdoDataSize];
        if (!upload(index, sub, data))
            return false;
        *value = SerialCanFrame::getU32(data);
        return true;
    }

private:
    void build(std::uint8_t *r, std::uint8_t command, std::uint16_t index, std::uint8_t sub,
               const std::uint8_t *data) const
    {
        SerialCanFrame::buildSdoRequest(r, m_node, command, index, sub, data);
    }

    Line &m_line;
    int m_node;
};

// The flash key, then per block its 64 words and its address:
// 1 + 65 * blocks exchanges.
inline bool writeImage(Client &c, const std::uint8_t *image, int blocks)
{
    if (!c.download(commandObject, cmdFlashKey, flashKey))
        return false;
    for (int j = 0; j < blocks; ++j) {
        for (int k = 0; k < wordsPerBlock; ++k) {
            if (!c.download(blockDataObject, std::uint8_t(firstWordSubIndex + k),
                            image + blockSize * j + wordSize * k))
                return false;
        }
        if (!c.download(commandObject, cmdStoreBlock, flashBase + std::uint32_t(blockSize * j)))
            return false;
    }
    return true;
}

// Per block its address, then its 64 words: 65 * blocks exchanges.
inline bool readImage(Client &c, std::uint8_t *out, int blocks)
{
    for (int j = 0; j < blocks; ++j) {
        if (!c.download(commandObject, cmdLoadBlock, flashBase + std::uint32_t(blockSize * j)))
            return false;
        for (int k = 0; k < wordsPerBlock; ++k) {
            if (!c.upload(blockDataObject, std::uint8_t(firstWordSubIndex + k),
                          out + blockSize * j + wordSize * k))
                return false;
        }
    }
    return true;
}

// A whole update of a node in user mode, with the pauses the node needs
// (canopen/modepauses.h: after the first boot command and after the
// user-mode command): mode read, boot commands, mode read, write, read-back and
// comparison, firmware mark, user-mode command, 4-byte boot-up record, mode
// read. `readBack` takes blockSize * blocks bytes. Returns an empty text on
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
    if (!c.upload32(modeObject, modeWordSubIndex, &mode))
        return "no reply to the mode read";
    if (mode != modeBoot) {
        if (!c.downloadOnly(commandObject, cmdBootStep1, commandKey))
            return "write failed";
        std::this_thread::sleep_for(ModePauses::afterBootStep1);
        if (!c.download(commandObject, cmdBootStep2, commandKey))
            return "no reply to the second boot command";
        if (!c.upload32(modeObject, modeWordSubIndex, &mode) || mode != modeBoot)
            return "the node did not enter boot mode";
    }
    if (!writeImage(c, image, blocks))
        return "no reply during the write";
    if (!readImage(c, readBack, blocks))
        return "no reply during the read-back";
    if (std::memcmp(image, readBack, std::size_t(blocks) * blockSize) != 0)
        return "read-back differs";
    if (!c.download(commandObject, cmdFirmwareMark, commandKey))
        return "no reply to the firmware mark";
    if (!c.downloadOnly(commandObject, cmdUserMode, commandKey))
        return "write failed";
    std::this_thread::sleep_for(ModePauses::afterUserMode);
    std::uint8_t bootUp[SerialCanFrame::GuardRecordSize];
    if (!line.receive(bootUp, sizeof bootUp))
        return "no boot-up record";
    if (!c.upload32(modeObject, modeWordSubIndex, &mode) || mode != modeNorm)
        return "the node did not return to user mode";
    return std::string();
}

} // namespace idealclient
