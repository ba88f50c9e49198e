// The serial line over a real pseudo-terminal registered as a COM port.

#include "serial/serialline.h"
#include "tests/common/otheruser.h"
#include "tests/common/testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using SerialLine::Handle;
using SerialLine::InvalidHandle;

namespace {

Handle openCom(int n)
{
    const Handle h = SerialLine::open(SerialLine::devicePath(std::uint32_t(n)));
    SerialLine::setTimeouts(h);
    return h;
}

QByteArray readLine(Handle h, std::uint32_t count, qint64 *elapsedMs = nullptr)
{
    QByteArray buffer(int(count), '\0');
    std::uint32_t got = 0;
    QElapsedTimer timer;
    timer.start();
    SerialLine::read(h, buffer.data(), count, &got);
    if (elapsedMs)
        *elapsedMs = timer.elapsed();
    buffer.truncate(int(got));
    return buffer;
}

std::vector<std::string> g_reports;

void collectReport(const std::string &line)
{
    g_reports.push_back(line);
}

// The layer's reports since the last call.
QStringList takeReports()
{
    QStringList out;
    for (const std::string &line : g_reports)
        out << QString::fromStdString(line);
    g_reports.clear();
    return out;
}

// Sets the terminal's flags as a program run before the tool left them.
bool stty(const QString &device, const QStringList &settings)
{
    QProcess p;
    p.start(QStringLiteral("stty"), QStringList{QStringLiteral("-F"), device} + settings);
    return p.waitForFinished() && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Every byte value, the flow-control characters XON (0x11) and XOFF (0x13)
// among them, sent both ways.
void checkAllBytesPass(testsupport::PtyPeer &peer, Handle h)
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    const QByteArray special = QByteArray::fromHex("000a0d1113ff0a0d0304031c7f1311");
    for (const QByteArray &bytes : {special, all}) {
        std::uint32_t written = 0;
        QVERIFY(SerialLine::write(h, bytes.constData(), std::uint32_t(bytes.size()), &written));
        QCOMPARE(int(written), bytes.size());
        QCOMPARE(peer.receive(bytes.size(), 2000), bytes);
        peer.send(bytes);
        QCOMPARE(readLine(h, std::uint32_t(bytes.size())), bytes);
    }
}

// The status bytes a packet-mode master has read since the last call
// (TIOCPKT_FLUSHWRITE and others, or-ed); data packets are dropped.
int packetStatus(int master, int waitMs)
{
    int status = 0;
    for (;;) {
        pollfd pfd{master, POLLIN | POLLPRI, 0};
        if (poll(&pfd, 1, waitMs) <= 0)
            return status;
        char packet[4096];
        const ssize_t n = ::read(master, packet, sizeof packet);
        if (n <= 0)
            return status;
        status |= static_cast<unsigned char>(packet[0]);
        waitMs = 0;
    }
}

// How another program holds a port (portHeldByAnotherProgram).
enum Hold { LockFileText, LockFileBinary, LockFileStale, Exclusive };

// A child process that opens `device` and sets it to exclusive use, as
// terminal programs do; returns its pid once it holds the device.
pid_t holdExclusively(const QByteArray &device)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ioctl(fd, TIOCEXCL) == 0 && ::write(ready[1], "x", 1) == 1)
            pause();
        _exit(1);
    }
    char byte = 0;
    const bool held = child > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    ::close(ready[1]);
    return held ? child : -1;
}

} // namespace

class TestSerialLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void devicePathForm();
    void openFailures();
    void silentPeerTimesOutAfterFourSeconds();
    void recordInTwoPiecesIsReadWhole();
    void purgeDiscardsStaleBytes();
    void secondOpenOfAHeldPortFails();
    void closeThenReopen();
    void bytesPassUnchanged();
    void peerHangUpEndsReadAtOnce();
    void stoppedOutputWriteGivesUp();
    void lineLeftByAnotherProgram_data();
    void lineLeftByAnotherProgram();
    void secondOpenByAnotherUserRefused();
    void portHeldByAnotherProgram_data();
    void portHeldByAnotherProgram();
};

void TestSerialLine::initTestCase()
{
    SerialLine::setDiagnosticSink(collectReport);
}

void TestSerialLine::init()
{
    g_reports.clear();
}

void TestSerialLine::devicePathForm()
{
    QCOMPARE(SerialLine::devicePath(12), std::wstring(L"\\\\.\\COM12"));
    QCOMPARE(SerialLine::devicePath(3), std::wstring(L"\\\\.\\COM3"));
}

void TestSerialLine::openFailures()
{
    // A number that maps to nothing.
    const int unmapped = testsupport::freeComNumber(900);
    QCOMPARE(openCom(unmapped), InvalidHandle);
    QVERIFY(SerialLine::lastOpenError().find("The port does not exist: error 2 (") == 0);

    // A link to something that is not a terminal.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("plain"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    const int n = testsupport::freeComNumber(910);
    const QString link = testsupport::dosDevicesDir() + QStringLiteral("/COM%1").arg(n);
    QVERIFY(QFile::link(file, link));
    QCOMPARE(openCom(n), InvalidHandle);
    QVERIFY(SerialLine::lastOpenError().find("The port is not a serial line: error 25 (") == 0);
    QFile::remove(link);

    // Paths that are not of the COM form.
    QCOMPARE(SerialLine::open(L"/dev/null"), InvalidHandle);
    QCOMPARE(SerialLine::open(L"\\\\.\\COM"), InvalidHandle);
    QCOMPARE(SerialLine::open(L"\\\\.\\COM1x"), InvalidHandle);
    QCOMPARE(SerialLine::open(L"\\\\.\\COM99999999999"), InvalidHandle);

    // Operations on the invalid handle fail quietly.
    std::uint32_t count = 7;
    char byte = 0;
    QVERIFY(!SerialLine::write(InvalidHandle, &byte, 1, &count));
    QCOMPARE(count, 0u);
    QVERIFY(!SerialLine::read(InvalidHandle, &byte, 1, &count));
    QCOMPARE(count, 0u);
    QVERIFY(!SerialLine::purge(InvalidHandle));
    QVERIFY(!SerialLine::close(InvalidHandle));
}

void TestSerialLine::silentPeerTimesOutAfterFourSeconds()
{
    testsupport::PtyPeer peer;
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    takeReports();
    qint64 elapsed = 0;
    QCOMPARE(readLine(h, 11, &elapsed), QByteArray());
    QVERIFY2(elapsed >= 3990 && elapsed < 5500, qPrintable(QString::number(elapsed)));
    QCOMPARE(takeReports(), QStringList{"Serial read: 0 of 11 bytes within 4000 ms"});

    // Part of a record, then silence: what arrived, after the same deadline
    // counted from the start of the read.
    peer.send(QByteArray("\x01\x02\x03", 3));
    QCOMPARE(readLine(h, 11, &elapsed), QByteArray("\x01\x02\x03", 3));
    QVERIFY2(elapsed >= 3990 && elapsed < 5500, qPrintable(QString::number(elapsed)));
    QCOMPARE(takeReports(), QStringList{"Serial read: 3 of 11 bytes within 4000 ms"});
    SerialLine::close(h);
}

void TestSerialLine::recordInTwoPiecesIsReadWhole()
{
    testsupport::PtyPeer peer;
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    const QByteArray record = QByteArray::fromHex("8105084301510074 6f6f62");
    std::thread sender([&] {
        peer.send(record.left(5));
        QThread::msleep(1000);
        peer.send(record.mid(5));
    });
    qint64 elapsed = 0;
    const QByteArray got = readLine(h, 11, &elapsed);
    sender.join();
    QCOMPARE(got, record);
    QVERIFY(elapsed >= 900 && elapsed < 3000);
    SerialLine::close(h);
}

void TestSerialLine::purgeDiscardsStaleBytes()
{
    testsupport::PtyPeer peer;
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    peer.send(QByteArray("stale bytes"));
    QThread::msleep(100);
    QVERIFY(SerialLine::purge(h));
    peer.send(QByteArray("\xAA\xBB", 2));
    QCOMPARE(readLine(h, 2), QByteArray("\xAA\xBB", 2));
    SerialLine::close(h);
}

void TestSerialLine::secondOpenOfAHeldPortFails()
{
    testsupport::PtyPeer peer;
    const Handle first = openCom(peer.com());
    QVERIFY(first != InvalidHandle);
    QCOMPARE(openCom(peer.com()), InvalidHandle);

    // Held by another process, too.
    const QByteArray path = peer.slavePath().toLocal8Bit();
    QVERIFY(SerialLine::close(first));
    // (another process: the lock is per open file, so a child's hold counts)
    QProcess holder;
    holder.start(QStringLiteral("flock"), {QStringLiteral("-x"), QString::fromLocal8Bit(path),
                                           QStringLiteral("sleep"), QStringLiteral("3")});
    QVERIFY(holder.waitForStarted());
    QThread::msleep(300);
    QCOMPARE(openCom(peer.com()), InvalidHandle);
    holder.waitForFinished();
    const Handle again = openCom(peer.com());
    QVERIFY(again != InvalidHandle);
    SerialLine::close(again);
}

void TestSerialLine::closeThenReopen()
{
    testsupport::PtyPeer peer;
    for (int round = 0; round < 3; ++round) {
        const Handle h = openCom(peer.com());
        QVERIFY(h != InvalidHandle);
        std::uint32_t written = 0;
        QVERIFY(SerialLine::write(h, "ping", 4, &written));
        QCOMPARE(written, 4u);
        QCOMPARE(peer.receive(4, 2000), QByteArray("ping"));
        QVERIFY(SerialLine::close(h));
    }
}

void TestSerialLine::bytesPassUnchanged()
{
    testsupport::PtyPeer peer;
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    takeReports();
    checkAllBytesPass(peer, h);
    SerialLine::close(h);
    // Nothing to report on a line that works.
    QCOMPARE(takeReports(), QStringList());
}

void TestSerialLine::peerHangUpEndsReadAtOnce()
{
    testsupport::PtyPeer peer;
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    peer.send(QByteArray("\x11\x22", 2));
    QThread::msleep(50);
    takeReports();
    peer.hangUp();
    qint64 elapsed = 0;
    const QByteArray got = readLine(h, 11, &elapsed);
    QVERIFY(got.isEmpty() || got == QByteArray("\x11\x22", 2));
    QVERIFY2(elapsed < 1000, qPrintable(QString::number(elapsed)));
    QCOMPARE(readLine(h, 11, &elapsed), QByteArray());
    QVERIFY(elapsed < 1000);
    std::uint32_t written = 0;
    QVERIFY(!SerialLine::write(h, "x", 1, &written));
    SerialLine::close(h);
    // Each failure with the system's reason: the far end is gone (EIO).
    QCOMPARE(takeReports(),
             QStringList({QStringLiteral("Serial read failed after %1 of 11 bytes: error 5 "
                                         "(Input/output error)")
                              .arg(got.size()),
                          "Serial read failed after 0 of 11 bytes: error 5 (Input/output error)",
                          "Serial write failed after 0 of 1 bytes: error 5 (Input/output error)"}));
}

void TestSerialLine::stoppedOutputWriteGivesUp()
{
    // Output held off (flow control, a stalled adapter): the write gives up
    // at its deadline instead of blocking for ever, and the line recovers.
    testsupport::PtyPeer peer;
    // Opened first: once the line is open, the device refuses other opens.
    const int slave = ::open(peer.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(slave >= 0);
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    QCOMPARE(tcflow(slave, TCOOFF), 0);

    takeReports();
    std::uint32_t written = 7;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!SerialLine::write(h, "request", 7, &written));
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(written, 0u);
    QVERIFY2(elapsed >= 3990 && elapsed < 5500, qPrintable(QString::number(elapsed)));
    QCOMPARE(takeReports(), QStringList{"Serial write: 0 of 7 bytes within 4000 ms"});

    QCOMPARE(tcflow(slave, TCOON), 0);
    QVERIFY(SerialLine::purge(h));
    QVERIFY(SerialLine::write(h, "ping", 4, &written));
    QCOMPARE(written, 4u);
    QCOMPARE(peer.receive(4, 2000), QByteArray("ping"));
    ::close(slave);
    QVERIFY(SerialLine::close(h));
}

void TestSerialLine::lineLeftByAnotherProgram_data()
{
    QTest::addColumn<QStringList>("settings"); // stty's words, as that program left the line
    QTest::addColumn<QStringList>("changed");  // what the open report must name as changed

    QTest::newRow("hardware flow control, modem lines watched")
        << QStringList{"crtscts", "-clocal"} << QStringList{"-crtscts", "clocal"};
    QTest::newRow("XON/XOFF both ways, any byte restarts")
        << QStringList{"ixon", "ixoff", "ixany"} << QStringList{"-ixon", "-ixoff", "-ixany"};
    QTest::newRow("fresh terminal device")
        << QStringList{"sane", "ixon"}
        << QStringList{"-icrnl", "-ixon", "-opost", "-isig", "-icanon", "-echo", "clocal"};
}

void TestSerialLine::lineLeftByAnotherProgram()
{
    QFETCH(QStringList, settings);
    QFETCH(QStringList, changed);
    testsupport::PtyPeer peer;
    QVERIFY(stty(peer.slavePath(), settings));
    // Opened before the tool opens the line, which then keeps others out.
    const int probe = ::open(peer.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(probe >= 0);

    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);

    // What the driver is told: raw bytes, no flow control of any kind
    // (USB serial drivers hand CRTSCTS, IXON and IXOFF to the chip, which
    // then stops or swallows bytes itself: a pty shows only the flags),
    // modem lines ignored.
    termios tio{};
    QCOMPARE(tcgetattr(probe, &tio), 0);
    QCOMPARE(tio.c_cflag & (CRTSCTS | CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));

    // Said once, naming what the open changed.
    const QStringList reports = takeReports();
    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports[0].startsWith("Serial line state at open: "), qPrintable(reports[0]));
    const QStringList words = reports[0].split(QRegularExpression("[ ,;:()]+"));
    for (const QString &flag : changed)
        QVERIFY2(words.contains(flag), qPrintable(flag + " not in: " + reports[0]));

    checkAllBytesPass(peer, h);

    // Output stopped (as by flow control): close returns at once and has
    // discarded unsent output first, which is what keeps a USB serial
    // driver from waiting up to 30 s in close (a pty would not wait; its
    // master in packet mode sees the discard).
    int on = 1;
    QCOMPARE(ioctl(peer.master(), TIOCPKT, &on), 0);
    packetStatus(peer.master(), 0);
    QCOMPARE(tcflow(probe, TCOOFF), 0);
    packetStatus(peer.master(), 0);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(SerialLine::close(h));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(packetStatus(peer.master(), 1000) & TIOCPKT_FLUSHWRITE);
    tcflow(probe, TCOON);
    ::close(probe);
    QCOMPARE(takeReports(), QStringList());
}

void TestSerialLine::secondOpenByAnotherUserRefused()
{
    // A terminal program, cat or a modem manager does not use flock: while
    // the line is open, the device itself refuses a second open.
    testsupport::PtyPeer peer;
    QString why;
    const int before = testsupport::openAsOtherUser(peer.slavePath(), &why);
    if (before < 0)
        QSKIP(qPrintable(why));
    QCOMPARE(before, 0);
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    QCOMPARE(testsupport::openAsOtherUser(peer.slavePath(), &why), EBUSY);
    QVERIFY(SerialLine::close(h));
    // Closed: open to anyone again, though the device lives on (the far
    // end still holds it open).
    QCOMPARE(testsupport::openAsOtherUser(peer.slavePath(), &why), 0);
}

void TestSerialLine::portHeldByAnotherProgram_data()
{
    QTest::addColumn<int>("hold");
    QTest::addColumn<QString>("holder"); // as the refusal names it; empty: the port opens
    QTest::newRow("terminal program's lock file") << int(LockFileText) << "(sleep): lock file";
    QTest::newRow("lock file with a binary pid") << int(LockFileBinary) << "(sleep): lock file";
    QTest::newRow("stale lock file, its program ended") << int(LockFileStale) << "";
    QTest::newRow("exclusive use set by another process") << int(Exclusive) << "(tst_serialline)";
}

void TestSerialLine::portHeldByAnotherProgram()
{
    QFETCH(int, hold);
    QFETCH(QString, holder);
    testsupport::PtyPeer peer;
    QProcess program; // stands in for a terminal program
    program.start("sleep", {"30"});
    QVERIFY(program.waitForStarted());
    qint32 pid = qint32(program.processId());
    if (hold == LockFileStale) {
        program.kill();
        program.waitForFinished();
    }
    QFile lock("/run/lock/LCK.." + peer.slavePath().mid(5).replace('/', '_'));
    if (hold == Exclusive) {
        QVERIFY((pid = holdExclusively(peer.slavePath().toLocal8Bit())) > 0);
    } else {
        if (!lock.open(QIODevice::WriteOnly))
            QSKIP("/run/lock is not writable here");
        lock.write(hold == LockFileBinary ? QByteArray(reinterpret_cast<const char *>(&pid), 4)
                                          : QByteArray::number(pid).rightJustified(10) + "\n");
        lock.close();
    }
    const Handle h = openCom(peer.com());
    const QString cause = QString::fromStdString(SerialLine::lastOpenError());
    lock.remove();
    if (hold == Exclusive && kill(pid, SIGKILL) == 0)
        waitpid(pid, nullptr, 0);
    program.kill();
    program.waitForFinished();
    if (holder.isEmpty()) {
        QVERIFY(h != InvalidHandle);
        SerialLine::close(h);
    } else {
        QCOMPARE(h, InvalidHandle);
        QVERIFY2(cause.startsWith("Another program has the port open " + holder),
                 qPrintable(cause));
    }
}

QRIO_TEST_MAIN(TestSerialLine)
#include "tst_serialline.moc"
