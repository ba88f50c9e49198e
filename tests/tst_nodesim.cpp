// The simulated adapter and node, seen from a client on its pseudo-terminal:
// exact replies, the mode switching, flash blocks, every fault switch,
// malformed input, registration as a COM port, and the canopen-node-sim
// program.

#include "canopen/nodeobjects.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using nodesim::NodeSim;

namespace {

constexpr quint32 kCommandKey = NodeObjects::commandKey;
constexpr quint32 kFlashKey = NodeObjects::flashKey;

// The client end: the slave side opened raw, as the tool opens a port.
class Port
{
public:
    explicit Port(const std::string &path)
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
    ~Port() { close(); }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    bool send(const QByteArray &bytes)
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

    // Up to `count` bytes, whatever has come when `ms` have passed. Returns
    // early when the line hangs up.
    QByteArray receive(int count, int ms)
    {
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        hungUp = false;
        while (out.size() < count) {
            char buf[4096];
            const ssize_t n =
                ::read(fd, buf, size_t(qMin<int>(int(sizeof buf), count - out.size())));
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

    // Everything that comes until the line has been quiet for `quietMs`.
    QByteArray drain(int quietMs)
    {
        QByteArray out;
        for (;;) {
            const QByteArray more = receive(1 << 16, quietMs);
            if (more.isEmpty())
                return out;
            out += more;
        }
    }

    QByteArray exchange(const QByteArray &request, int replySize = 11, int ms = 2000)
    {
        send(request);
        return receive(replySize, ms);
    }

    int fd = -1;
    bool hungUp = false;
};

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

// Boot mode with the flash key given; `node` must be started in boot mode.
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

QByteArray flashSlice(const NodeSim &node, int offset, int size)
{
    const std::vector<std::uint8_t> f = node.flash();
    return QByteArray(reinterpret_cast<const char *>(f.data()) + offset, size);
}

std::unique_ptr<NodeSim> startIn(const QString &dosDir, nodesim::Options options)
{
    options.dosDevicesDir = dosDir.toStdString();
    auto node = std::make_unique<NodeSim>(options);
    if (!node->start())
        qWarning("start failed: %s", node->error().c_str());
    return node;
}

QString linkTarget(const QString &link)
{
    return QFileInfo(link).symLinkTarget();
}

// The program's one line on standard output.
QString firstLine(QProcess &process)
{
    while (!process.canReadLine() && process.waitForReadyRead(10000)) {
    }
    return QString::fromLocal8Bit(process.readLine());
}

} // namespace

class TestNodeSim : public QObject
{
    Q_OBJECT

private slots:
    void modeWordReplies();
    void bootAndUserMode();
    void objectAborts_data();
    void objectAborts();
    void flashBlocks();
    void flashFile();
    void silence();
    void splitAndLatency();
    void lineModel_data();
    void lineModel();
    void modeSwitchFaults();
    void corruptFlash();
    void strayByte();
    void extraReplyToBootStep1();
    void malformedInput();
    void clientSessionsAndHangUp();
    void registration();
    void logging();
    void program();
    void programArguments_data();
    void programArguments();
};

void TestNodeSim::modeWordReplies()
{
    // The tool's mode read, byte for byte, in user mode...
    auto node = testsupport::startNode();
    Port port(node->slavePath());
    QVERIFY(port.fd >= 0);
    QCOMPARE(hex(port.exchange(bytes("01 06 08 40 01 51 00 00 00 00 00"))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QCOMPARE(node->requestCount(), 1L);
    QVERIFY(!node->bootMode());

    // ... and in boot mode, for the highest node ID.
    nodesim::Options options;
    options.nodeId = 127;
    options.startInBootMode = true;
    auto boot = testsupport::startNode(options);
    Port bootPort(boot->slavePath());
    QCOMPARE(hex(bootPort.exchange(bytes("7F 06 08 40 01 51 00 00 00 00 00"))),
             QByteArray("FF 05 08 43 01 51 00 74 6F 6F 62"));
    QVERIFY(boot->bootMode());

    // The node answers each request once and sends nothing on its own.
    QCOMPARE(port.drain(200), QByteArray());
    const auto log = node->log();
    QCOMPARE(int(log.size()), 2);
    QCOMPARE(log[0].direction, nodesim::Direction::Received);
    QCOMPARE(log[1].direction, nodesim::Direction::Sent);
    QVERIFY(log[0].time <= log[1].time);
    QCOMPARE(hex(log[1].bytes), QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
}

void TestNodeSim::bootAndUserMode()
{
    auto node = testsupport::startNode(); // the restart takes the default 1000 ms
    Port port(node->slavePath());

    // Out of order or with the wrong key, the commands are refused.
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))),
             hex(abortReply(1, 0x5100, 2, 0x08000022)));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 4, kCommandKey))),
             hex(abortReply(1, 0x5100, 4, 0x08000022)));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 1, 0x12345678))),
             hex(abortReply(1, 0x5100, 1, 0x06090030)));
    QVERIFY(!node->firmwareMarked());

    // Step 1 goes unanswered; step 2 is confirmed and the node runs boot mode,
    // without announcing itself.
    QCOMPARE(hex(port.exchange(bytes("01 06 08 23 00 51 01 E7 51 9C 3A"), 11, 300)), QByteArray());
    QCOMPARE(hex(port.exchange(bytes("01 06 08 23 00 51 02 E7 51 9C 3A"))),
             QByteArray("81 05 08 60 00 51 02 00 00 00 00"));
    QVERIFY(node->bootMode());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 74 6F 6F 62"));

    // A second step 2 needs a new step 1.
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))),
             hex(abortReply(1, 0x5100, 2, 0x08000022)));

    // The firmware mark.
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 4, kCommandKey))), hex(confirm(1, 0x5100, 4)));
    QVERIFY(node->firmwareMarked());

    // Back to user mode: no reply, the node is away for its restart (a
    // request meanwhile goes unanswered), then the 4-byte boot-up record.
    QElapsedTimer restart;
    restart.start();
    port.send(download(1, 0x5100, 3, kCommandKey));
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 4, 500)), QByteArray());
    QCOMPARE(hex(port.receive(4, 3000)), QByteArray("01 07 01 00"));
    QVERIFY2(restart.elapsed() >= 950 && restart.elapsed() < 2500,
             qPrintable(QString::number(restart.elapsed())));
    QCOMPARE(port.drain(200), QByteArray());
    QVERIFY(!node->bootMode());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QVERIFY(node->firmwareMarked()); // since start, across the restart
    QCOMPARE(node->requestCount(), 11L);
}

void TestNodeSim::objectAborts_data()
{
    QTest::addColumn<bool>("bootMode");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("unknown object")
        << true << upload(1, 0x1000, 0) << abortReply(1, 0x1000, 0, 0x06020000);
    QTest::newRow("unknown object, download")
        << true << download(1, 0x5103, 0, 1) << abortReply(1, 0x5103, 0, 0x06020000);
    QTest::newRow("mode object sub 1")
        << true << upload(1, 0x5101, 1) << abortReply(1, 0x5101, 1, 0x06090011);
    QTest::newRow("command object sub 5")
        << true << download(1, 0x5100, 5, kCommandKey) << abortReply(1, 0x5100, 5, 0x06090011);
    QTest::newRow("command object sub 9")
        << true << download(1, 0x5100, 9, kCommandKey) << abortReply(1, 0x5100, 9, 0x06090011);
    QTest::newRow("block data sub 64")
        << true << upload(1, 0x5102, 64) << abortReply(1, 0x5102, 64, 0x06090011);
    QTest::newRow("segmented download")
        << true << sdo(1, 0x21, 0x5101, 0, le32(4)) << abortReply(1, 0x5101, 0, 0x05040001);
    QTest::newRow("two-byte download")
        << true << sdo(1, 0x2B, 0x5102, 0, le32(4)) << abortReply(1, 0x5102, 0, 0x05040001);
    QTest::newRow("abort request")
        << true << sdo(1, 0x80, 0x5101, 0, le32(0)) << abortReply(1, 0x5101, 0, 0x05040001);
    QTest::newRow("write mode object")
        << true << download(1, 0x5101, 0, 0x626F6F74) << abortReply(1, 0x5101, 0, 0x06010002);
    QTest::newRow("read command object")
        << true << upload(1, 0x5100, 1) << abortReply(1, 0x5100, 1, 0x06010001);
    QTest::newRow("wrong flash key")
        << true << download(1, 0x5100, 8, kCommandKey) << abortReply(1, 0x5100, 8, 0x06090030);
    QTest::newRow("store before flash key")
        << true << download(1, 0x5100, 6, 0x8000) << abortReply(1, 0x5100, 6, 0x08000022);
    QTest::newRow("load below flash")
        << true << download(1, 0x5100, 7, 0x7F00) << abortReply(1, 0x5100, 7, 0x06090030);
    QTest::newRow("load above flash")
        << true << download(1, 0x5100, 7, 0x28000) << abortReply(1, 0x5100, 7, 0x06090030);
    QTest::newRow("load unaligned")
        << true << download(1, 0x5100, 7, 0x8080) << abortReply(1, 0x5100, 7, 0x06090030);
    QTest::newRow("mark with wrong key")
        << true << download(1, 0x5100, 4, kFlashKey) << abortReply(1, 0x5100, 4, 0x06090030);
    QTest::newRow("user mode: block data read")
        << false << upload(1, 0x5102, 0) << abortReply(1, 0x5102, 0, 0x08000022);
    QTest::newRow("user mode: block data write")
        << false << download(1, 0x5102, 63, 7) << abortReply(1, 0x5102, 63, 0x08000022);
    QTest::newRow("user mode: flash key")
        << false << download(1, 0x5100, 8, kFlashKey) << abortReply(1, 0x5100, 8, 0x08000022);
    QTest::newRow("user mode: store")
        << false << download(1, 0x5100, 6, 0x8000) << abortReply(1, 0x5100, 6, 0x08000022);
    QTest::newRow("user mode: load")
        << false << download(1, 0x5100, 7, 0x8000) << abortReply(1, 0x5100, 7, 0x08000022);
}

void TestNodeSim::objectAborts()
{
    QFETCH(bool, bootMode);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    nodesim::Options options;
    options.startInBootMode = bootMode;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(request)), hex(reply));
    QCOMPARE(node->bootMode(), bootMode);
    QVERIFY(!node->firmwareMarked());
    // Nothing was stored anywhere.
    QCOMPARE(node->flash(), std::vector<std::uint8_t>(0x20000, 0xFF));
}

void TestNodeSim::flashBlocks()
{
    nodesim::Options options;
    options.startInBootMode = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());

    QCOMPARE(hex(port.exchange(download(1, 0x5100, 8, kFlashKey))), hex(confirm(1, 0x5100, 8)));
    const QByteArray first = blockPattern(3);
    const QByteArray last = blockPattern(99);
    writeBlock(port, 0x8100, first);
    writeBlock(port, 0x27F00, last);
    if (QTest::currentTestFailed())
        return;

    // The words land in flash as they were on the line.
    QCOMPARE(hex(flashSlice(*node, 0x100, 256)), hex(first));
    QCOMPARE(hex(flashSlice(*node, 0x1FF00, 256)), hex(last));
    QCOMPARE(flashSlice(*node, 0, 256), QByteArray(256, '\xFF'));
    QCOMPARE(flashSlice(*node, 0x200, 0x1FD00), QByteArray(0x1FD00, '\xFF'));

    // Loading replaces the whole block buffer.
    QCOMPARE(hex(readBlock(port, 0x8000)), hex(QByteArray(256, '\xFF')));
    QCOMPARE(hex(readBlock(port, 0x8100)), hex(first));
    QCOMPARE(hex(readBlock(port, 0x27F00)), hex(last));
    QCOMPARE(hex(port.exchange(upload(1, 0x5102, 0))),
             hex(bytes("81 05 08 43 02 51 00") + last.left(4)));

    // Addresses beyond the last block are refused and store nothing.
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 6, 0x28000))),
             hex(abortReply(1, 0x5100, 6, 0x06090030)));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 6, 0x8001))),
             hex(abortReply(1, 0x5100, 6, 0x06090030)));

    // Contents set from outside are what the node reads.
    std::vector<std::uint8_t> contents(0x20000, 0x5A);
    contents[0x300] = 0x01;
    node->setFlash(contents);
    QCOMPARE(node->flash(), contents);
    const QByteArray block = readBlock(port, 0x8300);
    QCOMPARE(hex(block.left(4)), QByteArray("01 5A 5A 5A"));

    // After the restart into user mode the flash key must be given again.
    port.send(download(1, 0x5100, 3, kCommandKey));
    QTRY_VERIFY_WITH_TIMEOUT(!node->bootMode(), 3000);
    QCOMPARE(hex(port.receive(4, 1000)), QByteArray("01 07 01 00"));
    port.send(download(1, 0x5100, 1, kCommandKey));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))), hex(confirm(1, 0x5100, 2)));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 6, 0x8000))),
             hex(abortReply(1, 0x5100, 6, 0x08000022)));
}

void TestNodeSim::flashFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("flash.bin"));
    {
        // A short file is taken as far as it goes and completed erased.
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(10, '\x11'));
    }
    nodesim::Options options;
    options.flashPath = path.toStdString();
    options.startInBootMode = true;
    const QByteArray block = blockPattern(42);
    std::vector<std::uint8_t> before;
    {
        auto node = testsupport::startNode(options);
        QCOMPARE(QFileInfo(path).size(), qint64(0x20000));
        QCOMPARE(flashSlice(*node, 0, 10), QByteArray(10, '\x11'));
        QCOMPARE(flashSlice(*node, 10, 0x20000 - 10), QByteArray(0x20000 - 10, '\xFF'));

        Port port(node->slavePath());
        QCOMPARE(hex(port.exchange(download(1, 0x5100, 8, kFlashKey))), hex(confirm(1, 0x5100, 8)));
        writeBlock(port, 0x27F00, block);
        writeBlock(port, 0x8000, block);
        before = node->flash();
        // Written through at once, not on stop.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(hex(f.readAll().mid(0x1FF00)), hex(block));
    }
    // Like flash, it survives a restart; the file never grows.
    QCOMPARE(QFileInfo(path).size(), qint64(0x20000));
    auto node = testsupport::startNode(options);
    QCOMPARE(node->flash(), before);
    Port port(node->slavePath());
    QCOMPARE(hex(readBlock(port, 0x27F00)), hex(block));

    // setFlash goes to the file too, also before start.
    std::vector<std::uint8_t> contents(0x20000, 0x33);
    node->setFlash(contents);
    node->stop();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray(0x20000, '\x33'));
    f.close();

    NodeSim preset(options);
    preset.setFlash(std::vector<std::uint8_t>(0x20000, 0x44));
    QVERIFY(preset.start());
    QCOMPARE(preset.flash(), std::vector<std::uint8_t>(0x20000, 0x44));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray(0x20000, '\x44'));
}

void TestNodeSim::silence()
{
    // Silent from the start, then talking again.
    nodesim::Options options;
    options.faults.silent = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 300)), QByteArray());
    QCOMPARE(node->requestCount(), 1L);
    node->setFaults({});
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));

    // Silent after three more requests, counted from when the switch is set.
    nodesim::Faults faults;
    faults.silentAfterRequests = 3;
    node->setFaults(faults);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(port.exchange(upload(1, 0x5101, 0)).size(), 11);
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 300)), QByteArray());
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 4, kCommandKey), 11, 300)), QByteArray());
    QCOMPARE(node->requestCount(), 7L);

    // A silent node ignores commands too, and sends no boot-up record.
    faults.silentAfterRequests = 0;
    faults.silent = true;
    node->setFaults(faults);
    port.send(download(1, 0x5100, 3, kCommandKey));
    QCOMPARE(port.drain(1300), QByteArray());
    QCOMPARE(node->faults().silentAfterRequests, 0L);
}

void TestNodeSim::splitAndLatency()
{
    nodesim::Options options;
    options.faults.splitPieces = 2;
    options.faults.splitDelayMs = 400;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());

    // 5 bytes at once, the other 6 after the pause.
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 200)), QByteArray("81 05 08 43 01"));
    QCOMPARE(hex(port.receive(6, 2000)), QByteArray("51 00 6D 72 6F 6E"));
    QVERIFY2(timer.elapsed() >= 390, qPrintable(QString::number(timer.elapsed())));
    auto log = node->log();
    QCOMPARE(int(log.size()), 3);
    QCOMPARE(log[1].piece, 1);
    QCOMPARE(log[2].piece, 2);
    QCOMPARE(int(log[1].bytes.size()), 5);
    QVERIFY(log[2].time - log[1].time >= std::chrono::milliseconds(390));

    // Three pieces without pause: 3, 4, 4 bytes, the reply whole.
    nodesim::Faults faults;
    faults.splitPieces = 3;
    node->setFaults(faults);
    node->clearLog();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    log = node->log();
    QCOMPARE(int(log.size()), 4);
    QCOMPARE(hex(log[1].bytes), QByteArray("81 05 08"));
    QCOMPARE(hex(log[2].bytes), QByteArray("43 01 51 00"));
    QCOMPARE(hex(log[3].bytes), QByteArray("6D 72 6F 6E"));
    QCOMPARE(log[3].piece, 3);

    // A fixed latency before each reply.
    faults = {};
    faults.latencyMs = 400;
    node->setFaults(faults);
    timer.restart();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 250)), QByteArray());
    QCOMPARE(hex(port.receive(11, 2000)), QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QVERIFY2(timer.elapsed() >= 390, qPrintable(QString::number(timer.elapsed())));
}

void TestNodeSim::lineModel_data()
{
    QTest::addColumn<long>("baud");
    QTest::addColumn<long>("canBitrate");
    QTest::addColumn<int>("adapterLatencyMs");
    // One SDO exchange: an 11-byte record each way on the serial line at 10
    // bits a byte; a CAN frame each way of 47 + 8 * 8 data bits + at most 24
    // stuff bits = 135 bits; the adapter's latency once, on the reply.
    QTest::addColumn<qint64>("exchangeNs");
    QTest::newRow("off by default") << 0L << 0L << 0 << qint64(0);
    // 220 bits / 115200 bit/s
    QTest::newRow("115200 baud") << 115200L << 0L << 0 << qint64(1909722);
    // 270 bits / 500 kbit/s, and / 125 kbit/s
    QTest::newRow("CAN 500 kbit/s") << 0L << 500000L << 0 << qint64(540000);
    QTest::newRow("CAN 125 kbit/s") << 0L << 125000L << 0 << qint64(2160000);
    QTest::newRow("adapter latency 16 ms") << 0L << 0L << 16 << qint64(16000000);
    QTest::newRow("115200 baud, CAN 125 kbit/s, 1 ms")
        << 115200L << 125000L << 1 << qint64(1909722 + 2160000 + 1000000);
    // 220 bits / 921600 bit/s + 270 bits / 1 Mbit/s
    QTest::newRow("921600 baud, CAN 1 Mbit/s")
        << 921600L << 1000000L << 0 << qint64(238715 + 270000);
}

void TestNodeSim::lineModel()
{
    QFETCH(long, baud);
    QFETCH(long, canBitrate);
    QFETCH(int, adapterLatencyMs);
    QFETCH(qint64, exchangeNs);
    nodesim::Options options;
    if (exchangeNs > 0)
        options.line = {baud, canBitrate, adapterLatencyMs};
    // The model's arithmetic (to the microsecond: it rounds each part to
    // the nanosecond) ...
    const std::size_t record = 11;
    const qint64 modelled =
        (nodesim::toNode(options.line, record) + nodesim::fromNode(options.line, record)).count();
    QVERIFY2(qAbs(modelled - exchangeNs) < 1000, qPrintable(QString::number(modelled)));

    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    // ... and the reply never comes before its time ...
    QVERIFY2(timer.nsecsElapsed() >= exchangeNs, qPrintable(QString::number(timer.nsecsElapsed())));
    const auto log = node->log();
    QCOMPARE(int(log.size()), 2);
    const qint64 held = std::chrono::nanoseconds(log[1].time - log[0].time).count();
    if (exchangeNs == 0) {
        // ... and with the model off it goes out in the same instant the
        // request was taken.
        QCOMPARE(held, qint64(0));
    } else {
        QVERIFY2(held >= exchangeNs && held < exchangeNs + 100000000,
                 qPrintable(QString::number(held)));
    }
}

void TestNodeSim::modeSwitchFaults()
{
    // Never boots: step 2 is confirmed all the same, the mode stays 'norm'.
    nodesim::Options options;
    options.rebootDelayMs = 200;
    options.faults.neverBoot = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    port.send(download(1, 0x5100, 1, kCommandKey));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))), hex(confirm(1, 0x5100, 2)));
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QVERIFY(!node->bootMode());

    // Never returns to user mode: restarts into boot mode, still announced.
    nodesim::Faults faults;
    faults.neverUser = true;
    node->setFaults(faults);
    port.send(download(1, 0x5100, 1, kCommandKey));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))), hex(confirm(1, 0x5100, 2)));
    QVERIFY(node->bootMode());
    port.send(download(1, 0x5100, 3, kCommandKey));
    QCOMPARE(hex(port.receive(4, 2000)), QByteArray("01 07 01 00"));
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 74 6F 6F 62"));

    // No boot-up record: the restart happens quietly.
    faults = {};
    faults.noBootUp = true;
    node->setFaults(faults);
    port.send(download(1, 0x5100, 3, kCommandKey));
    QCOMPARE(hex(port.drain(600)), QByteArray());
    QVERIFY(!node->bootMode());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
}

void TestNodeSim::corruptFlash()
{
    nodesim::Options options;
    options.startInBootMode = true;
    options.faults.corruptFlashOffset = 0x105;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 8, kFlashKey))), hex(confirm(1, 0x5100, 8)));
    const QByteArray block = blockPattern(5);
    writeBlock(port, 0x8000, block);
    writeBlock(port, 0x8100, block);
    writeBlock(port, 0x8200, block);

    // Only the one byte of the one block is wrong, and it reads back wrong.
    QByteArray expected = block;
    expected[5] = char(~quint8(block[5]));
    QCOMPARE(hex(flashSlice(*node, 0x000, 256)), hex(block));
    QCOMPARE(hex(flashSlice(*node, 0x100, 256)), hex(expected));
    QCOMPARE(hex(flashSlice(*node, 0x200, 256)), hex(block));
    QCOMPARE(hex(readBlock(port, 0x8100)), hex(expected));
}

void TestNodeSim::strayByte()
{
    auto node = testsupport::startNode();
    Port port(node->slavePath());
    nodesim::Faults faults;
    faults.strayByte = true;
    node->setFaults(faults);
    QVERIFY(node->faults().strayByte);

    // One 0x00 ahead of the next reply, only once.
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 12)),
             QByteArray("00 81 05 08 43 01 51 00 6D 72 6F 6E"));
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 12, 300)),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QVERIFY(!node->faults().strayByte);
    const auto log = node->log();
    QCOMPARE(int(log.size()), 5);
    QCOMPARE(hex(log[1].bytes), QByteArray("00"));
    QCOMPARE(log[1].direction, nodesim::Direction::Sent);
}

void TestNodeSim::extraReplyToBootStep1()
{
    nodesim::Options options;
    options.faults.extraReplyToBootStep1 = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(bytes("01 06 08 23 00 51 01 E7 51 9C 3A"))),
             QByteArray("81 05 08 60 00 51 01 00 00 00 00"));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))), hex(confirm(1, 0x5100, 2)));
    QVERIFY(node->bootMode());
    QCOMPARE(port.drain(200), QByteArray());
}

void TestNodeSim::malformedInput()
{
    auto node = testsupport::startNode();
    Port port(node->slavePath());
    const QByteArray modeRead = upload(1, 0x5101, 0);
    const QByteArray userReply = bytes("81 05 08 43 01 51 00 6D 72 6F 6E");

    // A length byte over 8: skipped byte by byte, the torn rest dropped after
    // a pause, and the node is back in step.
    port.send(bytes("01 06 09 AA BB"));
    QCOMPARE(port.drain(300), QByteArray());
    QCOMPARE(hex(port.exchange(modeRead)), hex(userReply));
    QCOMPARE(int(node->receivedRecords().size()), 1);
    QCOMPARE(hex(node->receivedRecords()[0]), hex(modeRead));
    int droppedBytes = 0;
    for (const auto &e : node->log())
        droppedBytes += e.dropped ? int(e.bytes.size()) : 0;
    QCOMPARE(droppedBytes, 5);

    // Other nodes' frames are logged but not answered or counted; nor is a
    // short frame with our identifier.
    node->clearLog();
    port.send(upload(2, 0x5101, 0));
    port.send(bytes("81 05 08 43 01 51 00 6D 72 6F 6E")); // another node's reply
    port.send(bytes("00 00 02 01 01"));                   // network management
    port.send(bytes("01 07 01 00"));                      // a boot-up frame
    port.send(bytes("01 06 04 40 01 51 00"));             // too short for SDO
    QCOMPARE(port.drain(300), QByteArray());
    QCOMPARE(int(node->receivedRecords().size()), 5);
    QCOMPARE(node->requestCount(), 2L);
    QCOMPARE(hex(port.exchange(modeRead)), hex(userReply));

    // Random garbage: whatever it makes of it, the node stays alive and
    // answers properly once the line has been quiet.
    QRandomGenerator random(12345);
    for (int chunk = 0; chunk < 64; ++chunk) {
        QByteArray junk(1024, '\0');
        for (char &c : junk)
            c = char(random.generate() & 0xFF);
        QVERIFY(port.send(junk));
        port.receive(1 << 16, 0);
    }
    port.drain(300);
    QCOMPARE(hex(port.exchange(modeRead)), hex(userReply));
}

void TestNodeSim::clientSessionsAndHangUp()
{
    auto node = testsupport::startNode();
    const QByteArray reply = bytes("81 05 08 43 01 51 00 6D 72 6F 6E");
    // Clients come and go; the port serves each of them.
    for (int session = 0; session < 3; ++session) {
        Port port(node->slavePath());
        QVERIFY(port.fd >= 0);
        QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))), hex(reply));
    }

    // A hang-up ends the client's wait at once.
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))), hex(reply));
    node->hangUp();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 4000)), QByteArray());
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(port.hungUp);
    node->hangUp(); // twice is harmless
    node->stop();
    node->stop();
}

void TestNodeSim::registration()
{
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("a/b/dosdevices")); // made as needed
    nodesim::Options options;
    options.com = 0;

    // The lowest free numbers from 50 up, as links to the slave.
    auto first = startIn(dir, options);
    auto second = startIn(dir, options);
    QCOMPARE(first->comNumber(), 50);
    QCOMPARE(second->comNumber(), 51);
    QCOMPARE(QString::fromStdString(first->linkPath()), dir + QStringLiteral("/COM50"));
    QCOMPARE(linkTarget(dir + QStringLiteral("/COM50")),
             QString::fromStdString(first->slavePath()));
    QCOMPARE(linkTarget(dir + QStringLiteral("/COM51")),
             QString::fromStdString(second->slavePath()));

    // A number in use (in any spelling) is refused; a dead link is replaced.
    nodesim::Options o = options;
    o.com = 51;
    o.dosDevicesDir = dir.toStdString();
    NodeSim clash(o);
    QVERIFY(!clash.start());
    QVERIFY(QString::fromStdString(clash.error()).contains(QStringLiteral("COM51")));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/pts/99"), dir + QStringLiteral("/com52")));
    QVERIFY(
        QFile::link(QString::fromStdString(first->slavePath()), dir + QStringLiteral("/com053")));
    options.com = 0;
    auto third = startIn(dir, options);
    QCOMPARE(third->comNumber(), 52);
    QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/com52"))
            && !QFileInfo(dir + QStringLiteral("/com52")).isSymLink());
    auto fourth = startIn(dir, options);
    QCOMPARE(fourth->comNumber(), 54);
    o.com = 53;
    NodeSim clash53(o);
    QVERIFY(!clash53.start());

    // Stopping removes the link; without a number nothing is registered.
    first->stop();
    QVERIFY(!QFileInfo(dir + QStringLiteral("/COM50")).isSymLink());
    QCOMPARE(first->comNumber(), -1);
    QVERIFY(QFileInfo(dir + QStringLiteral("/COM51")).isSymLink());
    second.reset();
    QVERIFY(!QFileInfo(dir + QStringLiteral("/COM51")).isSymLink());

    nodesim::Options none;
    none.dosDevicesDir = dir.toStdString();
    NodeSim unregistered(none);
    QVERIFY(unregistered.start());
    QCOMPARE(unregistered.comNumber(), -1);
    QVERIFY(unregistered.linkPath().empty());

    // The default folder follows XDG_CONFIG_HOME.
    nodesim::Options plain;
    plain.com = 0;
    NodeSim defaulted(plain);
    QVERIFY(defaulted.start());
    QCOMPARE(QFileInfo(QString::fromStdString(defaulted.linkPath())).absolutePath(),
             testsupport::dosDevicesDir());
    QVERIFY(QFileInfo(QString::fromStdString(defaulted.linkPath())).isSymLink());

    // Bad node IDs are refused.
    nodesim::Options badNode;
    badNode.nodeId = 128;
    NodeSim bad(badNode);
    QVERIFY(!bad.start());
    QVERIFY(!bad.error().empty());
}

void TestNodeSim::logging()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("node.log"));
    nodesim::Options options;
    options.logPath = path.toStdString();
    options.startInBootMode = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(port.exchange(upload(1, 0x5101, 0)).size(), 11);
    QCOMPARE(port.exchange(download(1, 0x5102, 3, 0x04030201)).size(), 11);
    port.send(upload(9, 0x5101, 0));
    QCOMPARE(port.drain(200), QByteArray());

    // In memory: every record both ways, in order.
    const auto log = node->log();
    QCOMPARE(int(log.size()), 5);
    for (std::size_t i = 1; i < log.size(); ++i)
        QVERIFY(log[i - 1].time <= log[i].time);
    QCOMPARE(hex(log[3].bytes), QByteArray("81 05 08 60 02 51 03 00 00 00 00"));
    const auto records = node->receivedRecords();
    QCOMPARE(int(records.size()), 3);
    QCOMPARE(hex(records[1]), QByteArray("01 06 08 23 02 51 03 01 02 03 04"));
    QCOMPARE(hex(records[2]), hex(upload(9, 0x5101, 0)));

    // In the file: one text line per record, appended across runs.
    node->stop();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines =
        QString::fromLatin1(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    const QRegularExpression form(QStringLiteral("^(\\d+)\\.(\\d{6}) (RX|TX)((?: [0-9A-F]{2})+)$"));
    const char *directions[] = {"RX", "TX", "RX", "TX", "RX"};
    for (int i = 0; i < lines.size(); ++i) {
        const auto m = form.match(lines[i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(m.captured(3), QString::fromLatin1(directions[i]));
        QCOMPARE(m.captured(4).trimmed().toLatin1(), hex(log[std::size_t(i)].bytes));
    }
    f.close();
    auto again = testsupport::startNode(options);
    Port port2(again->slavePath());
    QCOMPARE(port2.exchange(upload(1, 0x5101, 0)).size(), 11);
    again->stop();
    QVERIFY(f.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(f.readAll().count('\n'), 7);
}

void TestNodeSim::program()
{
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    const QString dosDir = config.path() + QStringLiteral("/Quorvex/dosdevices");
    const QString flashPath = config.filePath(QStringLiteral("flash.bin"));

    // A given number, node, boot mode and flash file.
    QProcess sim;
    sim.setProcessEnvironment(env);
    sim.start(QStringLiteral(NODESIM_EXE),
              {QStringLiteral("--com"), QStringLiteral("57"), QStringLiteral("--node"),
               QStringLiteral("5"), QStringLiteral("--boot"), QStringLiteral("--flash"),
               flashPath});
    QVERIFY(sim.waitForStarted());
    const QString line = firstLine(sim);
    const auto m = QRegularExpression(QStringLiteral("^COM57 (/dev/pts/\\d+)\n$")).match(line);
    QVERIFY2(m.hasMatch(), qPrintable(line));
    QCOMPARE(linkTarget(dosDir + QStringLiteral("/COM57")), m.captured(1));
    QCOMPARE(QFileInfo(flashPath).size(), qint64(0x20000));
    {
        Port port(m.captured(1).toStdString());
        QCOMPARE(hex(port.exchange(upload(5, 0x5101, 0))),
                 QByteArray("85 05 08 43 01 51 00 74 6F 6F 62"));
    }
    sim.terminate(); // SIGTERM
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(dosDir + QStringLiteral("/COM57")).isSymLink());

    // The first free number by default; SIGHUP and SIGINT end it as well.
    for (int signal : {SIGHUP, SIGINT}) {
        QProcess autoSim;
        autoSim.setProcessEnvironment(env);
        autoSim.start(QStringLiteral(NODESIM_EXE),
                      {QStringLiteral("--reboot-delay"), QStringLiteral("100")});
        QVERIFY(autoSim.waitForStarted());
        const QString autoLine = firstLine(autoSim);
        QVERIFY2(autoLine.startsWith(QStringLiteral("COM50 /dev/pts/")), qPrintable(autoLine));
        QVERIFY(QFileInfo(dosDir + QStringLiteral("/COM50")).isSymLink());
        ::kill(pid_t(autoSim.processId()), signal);
        QVERIFY(autoSim.waitForFinished(5000));
        QCOMPARE(autoSim.exitCode(), 0);
        QVERIFY(!QFileInfo(dosDir + QStringLiteral("/COM50")).isSymLink());
    }

    // The line model from the command line: 220 bits at 1200 baud, 270 at
    // 10 kbit/s and 5 ms are 215.3 ms an exchange.
    {
        QProcess slowSim;
        slowSim.setProcessEnvironment(env);
        slowSim.start(QStringLiteral(NODESIM_EXE),
                      {QStringLiteral("--baud"), QStringLiteral("1200"),
                       QStringLiteral("--can-bitrate"), QStringLiteral("10000"),
                       QStringLiteral("--adapter-latency"), QStringLiteral("5")});
        QVERIFY(slowSim.waitForStarted());
        const auto slow = QRegularExpression(QStringLiteral("^COM\\d+ (/dev/pts/\\d+)\n$"))
                              .match(firstLine(slowSim));
        QVERIFY(slow.hasMatch());
        Port port(slow.captured(1).toStdString());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
                 QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
        QVERIFY2(timer.elapsed() >= 215, qPrintable(QString::number(timer.elapsed())));
        slowSim.terminate();
        QVERIFY(slowSim.waitForFinished(5000));
    }

    // A number already taken: an error, nothing printed.
    auto holder = startIn(dosDir, [] {
        nodesim::Options o;
        o.com = 58;
        return o;
    }());
    QProcess clash;
    clash.setProcessEnvironment(env);
    clash.start(QStringLiteral(NODESIM_EXE), {QStringLiteral("--com"), QStringLiteral("58")});
    QVERIFY(clash.waitForFinished(5000));
    QCOMPARE(clash.exitCode(), 1);
    QVERIFY(clash.readAllStandardOutput().isEmpty());
    QVERIFY(clash.readAllStandardError().contains("COM58"));
}

void TestNodeSim::programArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate")};
    QTest::newRow("missing value") << QStringList{QStringLiteral("--node")};
    QTest::newRow("node 0") << QStringList{QStringLiteral("--node"), QStringLiteral("0")};
    QTest::newRow("node 128") << QStringList{QStringLiteral("--node"), QStringLiteral("128")};
    QTest::newRow("node text") << QStringList{QStringLiteral("--node"), QStringLiteral("one")};
    QTest::newRow("com word") << QStringList{QStringLiteral("--com"), QStringLiteral("next")};
    QTest::newRow("com 0") << QStringList{QStringLiteral("--com"), QStringLiteral("0")};
    QTest::newRow("split without delay")
        << QStringList{QStringLiteral("--split"), QStringLiteral("2")};
    QTest::newRow("split zero pieces")
        << QStringList{QStringLiteral("--split"), QStringLiteral("0:10")};
    QTest::newRow("negative latency")
        << QStringList{QStringLiteral("--latency"), QStringLiteral("-1")};
    QTest::newRow("corrupt beyond flash")
        << QStringList{QStringLiteral("--corrupt"), QStringLiteral("131072")};
    QTest::newRow("baud 0") << QStringList{QStringLiteral("--baud"), QStringLiteral("0")};
    QTest::newRow("CAN bit rate as text")
        << QStringList{QStringLiteral("--can-bitrate"), QStringLiteral("500k")};
    QTest::newRow("negative adapter latency")
        << QStringList{QStringLiteral("--adapter-latency"), QStringLiteral("-1")};
    QTest::newRow("silent-after trailing text")
        << QStringList{QStringLiteral("--silent-after"), QStringLiteral("3x")};
    QTest::newRow("help") << QStringList{QStringLiteral("--help")};
}

void TestNodeSim::programArguments()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir config;
    QProcess sim;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    sim.setProcessEnvironment(env);
    sim.start(QStringLiteral(NODESIM_EXE), arguments);
    QVERIFY(sim.waitForFinished(5000));
    const QByteArray out = sim.readAllStandardOutput();
    const QByteArray err = sim.readAllStandardError();
    if (arguments.first() == QStringLiteral("--help")) {
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(out.startsWith("Usage: canopen-node-sim"));
        QVERIFY(out.contains("--extra-boot-reply"));
        return;
    }
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(out.isEmpty());
    QVERIFY2(err.contains("Usage: canopen-node-sim"), err.constData());
    QVERIFY(!QDir(config.path() + QStringLiteral("/Quorvex/dosdevices")).exists()
            || QDir(config.path() + QStringLiteral("/Quorvex/dosdevices")).isEmpty());
}

QRIO_TEST_MAIN(TestNodeSim)
#include "tst_nodesim.moc"
