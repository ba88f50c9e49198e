// The serial line over a real pseudo-terminal registered as a COM port.

#include "serial/serialline.h"
#include "testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <thread>

#include <fcntl.h>
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

} // namespace

class TestSerialLine : public QObject
{
    Q_OBJECT

private slots:
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
};

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
    qint64 elapsed = 0;
    QCOMPARE(readLine(h, 11, &elapsed), QByteArray());
    QVERIFY2(elapsed >= 3990 && elapsed < 5500, qPrintable(QString::number(elapsed)));

    // Part of a record, then silence: what arrived, after the same deadline
    // counted from the start of the read.
    peer.send(QByteArray("\x01\x02\x03", 3));
    QCOMPARE(readLine(h, 11, &elapsed), QByteArray("\x01\x02\x03", 3));
    QVERIFY2(elapsed >= 3990 && elapsed < 5500, qPrintable(QString::number(elapsed)));
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
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    const QByteArray special = QByteArray::fromHex("000a0d1113ff0a0d0304031c7f");
    for (const QByteArray &bytes : {special, all}) {
        std::uint32_t written = 0;
        QVERIFY(SerialLine::write(h, bytes.constData(), std::uint32_t(bytes.size()), &written));
        QCOMPARE(int(written), bytes.size());
        QCOMPARE(peer.receive(bytes.size(), 2000), bytes);
        peer.send(bytes);
        QCOMPARE(readLine(h, std::uint32_t(bytes.size())), bytes);
    }
    SerialLine::close(h);
}

void TestSerialLine::peerHangUpEndsReadAtOnce()
{
    testsupport::PtyPeer peer;
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    peer.send(QByteArray("\x11\x22", 2));
    QThread::msleep(50);
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
}

void TestSerialLine::stoppedOutputWriteGivesUp()
{
    // Output held off (flow control, a stalled adapter): the write gives up
    // at its deadline instead of blocking for ever, and the line recovers.
    testsupport::PtyPeer peer;
    const Handle h = openCom(peer.com());
    QVERIFY(h != InvalidHandle);
    const int slave = ::open(peer.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(slave >= 0);
    QCOMPARE(tcflow(slave, TCOOFF), 0);

    std::uint32_t written = 7;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!SerialLine::write(h, "request", 7, &written));
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(written, 0u);
    QVERIFY2(elapsed >= 3990 && elapsed < 5500, qPrintable(QString::number(elapsed)));

    QCOMPARE(tcflow(slave, TCOON), 0);
    QVERIFY(SerialLine::purge(h));
    QVERIFY(SerialLine::write(h, "ping", 4, &written));
    QCOMPARE(written, 4u);
    QCOMPARE(peer.receive(4, 2000), QByteArray("ping"));
    ::close(slave);
    QVERIFY(SerialLine::close(h));
}

QRIO_TEST_MAIN(TestSerialLine)
#include "tst_serialline.moc"
