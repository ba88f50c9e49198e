#include "simclient.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QtTest>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace simclient {

Port::Port(const std::string &path)
{
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
}

void Port::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool Port::send(const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += int(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

QByteArray Port::receive(int count, int ms)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    hungUp = false;
    while (out.size() < count) {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, size_t(qMin<int>(int(sizeof buf), count - out.size())));
        if (n > 0) {
            out.append(buf, int(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            hungUp = true;
            break;
        }
        const int left = ms - int(timer.elapsed());
        if (left <= 0)
            break;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, left) <= 0)
            break;
    }
    return out;
}

QByteArray Port::drain(int quietMs)
{
    QByteArray out;
    for (;;) {
        const QByteArray more = receive(1 << 16, quietMs);
        if (more.isEmpty())
            return out;
        out += more;
    }
}

QByteArray Port::exchange(const QByteArray &request, int replySize, int ms)
{
    send(request);
    return receive(replySize, ms);
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char(v >> (8 * i));
    return b;
}

QByteArray sdo(int node, quint8 cmd, quint16 index, quint8 sub, const QByteArray &data)
{
    QByteArray r;
    r.append(char(node)).append(char(0x06)).append(char(8)).append(char(cmd));
    r.append(char(index & 0xFF)).append(char(index >> 8)).append(char(sub));
    return r + data;
}

QByteArray download(int node, quint16 index, quint8 sub, quint32 value)
{
    return sdo(node, 0x23, index, sub, le32(value));
}

QByteArray upload(int node, quint16 index, quint8 sub)
{
    return sdo(node, 0x40, index, sub, QByteArray(4, '\0'));
}

QByteArray answer(int node, quint8 cmd, quint16 index, quint8 sub, quint32 value)
{
    const int id = 0x580 + node;
    QByteArray r;
    r.append(char(id & 0xFF)).append(char(id >> 8)).append(char(8)).append(char(cmd));
    r.append(char(index & 0xFF)).append(char(index >> 8)).append(char(sub));
    return r + le32(value);
}

QByteArray confirm(int node, quint16 index, quint8 sub)
{
    return answer(node, 0x60, index, sub, 0);
}

QByteArray abortReply(int node, quint16 index, quint8 sub, quint32 code)
{
    return answer(node, 0x80, index, sub, code);
}

QByteArray bytes(const char *hex)
{
    return QByteArray::fromHex(hex);
}

QByteArray hex(const QByteArray &b)
{
    return b.toHex(' ').toUpper();
}

QByteArray hex(const std::vector<std::uint8_t> &b)
{
    return hex(QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())));
}

QByteArray blockPattern(int seed)
{
    QByteArray b(256, '\0');
    for (int i = 0; i < 256; ++i)
        b[i] = char(seed + 7 * i);
    return b;
}

void writeBlock(Port &port, quint32 address, const QByteArray &block)
{
    for (int k = 0; k < 64; ++k) {
        const QByteArray word = block.mid(4 * k, 4);
        QCOMPARE(hex(port.exchange(sdo(1, 0x23, 0x5102, quint8(k), word))),
                 hex(confirm(1, 0x5102, quint8(k))));
    }
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 6, address))), hex(confirm(1, 0x5100, 6)));
}

QByteArray readBlock(Port &port, quint32 address)
{
    QByteArray block;
    const QByteArray loaded = port.exchange(download(1, 0x5100, 7, address));
    if (loaded != confirm(1, 0x5100, 7))
        return "load failed: " + hex(loaded);
    for (int k = 0; k < 64; ++k) {
        const QByteArray reply = port.exchange(upload(1, 0x5102, quint8(k)));
        if (reply.left(7) != answer(1, 0x43, 0x5102, quint8(k), 0).left(7))
            return "upload failed: " + hex(reply);
        block += reply.mid(7, 4);
    }
    return block;
}

QByteArray flashSlice(const nodesim::NodeSim &node, int offset, int size)
{
    const std::vector<std::uint8_t> f = node.flash();
    return QByteArray(reinterpret_cast<const char *>(f.data()) + offset, size);
}

std::unique_ptr<nodesim::NodeSim> startIn(const QString &dosDir, nodesim::Options options)
{
    options.dosDevicesDir = dosDir.toStdString();
    auto node = std::make_unique<nodesim::NodeSim>(options);
    if (!node->start())
        qWarning("start failed: %s", node->error().c_str());
    return node;
}

QString linkTarget(const QString &link)
{
    return QFileInfo(link).symLinkTarget();
}

QString firstLine(QProcess &process)
{
    while (!process.canReadLine() && process.waitForReadyRead(10000)) {
    }
    return QString::fromLocal8Bit(process.readLine());
}

} // namespace simclient
