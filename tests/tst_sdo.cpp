// SDO expedited transfers: the records on the wire, the replies picked out
// of what else the line carries, and what a silent or broken line does.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "canopen/serialcanframe.h"
#include "serial/enumserialcom.h"
#include "tests/common/testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <memory>
#include <thread>

using Updater = QuorvexRemoteIOFirmwareUpdater;

namespace {

QByteArray bytes(const std::uint8_t *p, int n)
{
    return QByteArray(reinterpret_cast<const char *>(p), n);
}

// Runs `exchange` and returns the text of the TimeoutException it throws
// (empty when none), freeing the exception as the update's handler does.
template <typename F>
QString timeoutOf(F exchange, qint64 *elapsed = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    try {
        exchange();
    } catch (Updater::TimeoutException *e) {
        std::unique_ptr<Updater::TimeoutException> owned(e);
        if (elapsed)
            *elapsed = timer.elapsed();
        return QString::fromStdString(owned->message);
    }
    return QString();
}

} // namespace

class TestSdo : public QObject
{
    Q_OBJECT

private slots:
    void requestRecords_data();
    void requestRecords();
    void requestsOnTheWire();
    void replyAmongOtherRecords_data();
    void replyAmongOtherRecords();
    void abortReplyIsTakenAsReply();
    void debugLines();
    void replyInTwoPieces();
    void partialReplyThenSilence();
    void failedWrite();
    void simulatorProgramAsComPort();
};

void TestSdo::requestRecords_data()
{
    QTest::addColumn<int>("node");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("sub");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("upload 0x5101/0 to node 1") << 1 << 0x40 << 0x5101 << 0 << QByteArray()
                                               << QByteArray::fromHex("0106084001510000000000");
    QTest::newRow("download 0x5102/3f to node 127")
        << 127 << 0x23 << 0x5102 << 0x3F << QByteArray::fromHex("01020304")
        << QByteArray::fromHex("7F06082302513F01020304");
    QTest::newRow("download 0x8000 to 0x5100/7 of node 5")
        << 5 << 0x23 << 0x5100 << 7 << QByteArray::fromHex("00800000")
        << QByteArray::fromHex("0506082300510700800000");
}

void TestSdo::requestRecords()
{
    QFETCH(int, node);
    QFETCH(int, command);
    QFETCH(int, index);
    QFETCH(int, sub);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    std::uint8_t record[11];
    SerialCanFrame::buildSdoRequest(
        record, node, std::uint8_t(command), std::uint16_t(index), std::uint8_t(sub),
        data.isEmpty() ? nullptr : reinterpret_cast<const std::uint8_t *>(data.constData()));
    QCOMPARE(bytes(record, 11), expected);
}

void TestSdo::requestsOnTheWire()
{
    nodesim::Options options;
    options.nodeId = 5;
    testsupport::NodeRig rig(options);
    Updater &w = *rig.window;

    const std::uint8_t address[4] = {0x00, 0x80, 0x00, 0x00};
    std::uint8_t reply[4] = {9, 9, 9, 9};
    QVERIFY(w.sendSdoDownload(rig.line, 0x5100, 7, address));
    QVERIFY(w.waitSdoDownloadResponse(rig.line, 0x5100, 7, reply));
    QVERIFY(w.sendSdoUpload(rig.line, 0x5101, 0));
    QVERIFY(w.waitSdoUploadResponse(rig.line, 0x5101, 0, reply));
    QCOMPARE(bytes(reply, 4), QByteArray("mron")); // 'norm', least significant byte first

    // The node got exactly these records.
    QCOMPARE(rig.requests(), QStringList({"0506082300510700800000", "0506084001510000000000"}));
    // ... and what came back went to the caller from bytes 7 to 10 only.
    const auto log = rig.node->log();
    QCOMPARE(int(log.size()), 4);
    QCOMPARE(int(log[3].direction), int(nodesim::Direction::Sent));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(log[3].bytes.data()), 11).toHex(),
             QByteArray("850508430151006d726f6e"));
}

void TestSdo::replyAmongOtherRecords_data()
{
    // What the line holds when the upload of 0x5101/0 from node 1 is
    // awaited; the reply carries 'boot'. `pauseAt`: the bytes go out in two
    // writes 300 ms apart, cut there (0: one write).
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("pauseAt");
    const QByteArray reply = "81050843015100746f6f62";
    QTest::newRow("the reply alone") << reply << 0;
    QTest::newRow("split across reads") << reply << 5;
    QTest::newRow("the node's boot-up and heartbeat first") << "01070100" + reply + "01070105" << 0;
    QTest::newRow("other nodes' heartbeat, PDO and SDO reply first")
        << "020701058201080102030405060708"
           "82050843015100ffffffff"
               + reply
        << 0;
    QTest::newRow("a stale reply for another object first")
        << "8105086000510400000000" + reply << 0;
    QTest::newRow("a stray byte first") << "00" + reply << 0;
    QTest::newRow("a stray byte that makes a heartbeat look longer, split across reads")
        << "aa01070105" + reply << 7;
}

void TestSdo::replyAmongOtherRecords()
{
    QFETCH(QByteArray, line);
    QFETCH(int, pauseAt);
    testsupport::PtyPeer peer;
    Updater w;
    w.nodeId = 1;
    const SerialLine::Handle handle =
        SerialLine::open(SerialLine::devicePath(std::uint32_t(peer.com())));
    QVERIFY(handle != SerialLine::InvalidHandle);
    SerialLine::setTimeouts(handle);
    const QByteArray bytesOut = QByteArray::fromHex(line);
    std::thread sender([&] {
        peer.send(bytesOut.left(pauseAt > 0 ? pauseAt : bytesOut.size()));
        if (pauseAt > 0) {
            QThread::msleep(300);
            peer.send(bytesOut.mid(pauseAt));
        }
    });
    std::uint8_t value[4] = {};
    const QString timeout = timeoutOf([&] { w.waitSdoUploadResponse(handle, 0x5101, 0, value); });
    sender.join();
    QCOMPARE(timeout, QString());
    QCOMPARE(SerialCanFrame::getU32(value), 0x626F6F74u);
    SerialLine::close(handle);
}

void TestSdo::abortReplyIsTakenAsReply()
{
    testsupport::NodeRig rig;
    Updater &w = *rig.window;
    // No such object: the node answers with an abort, which is taken as the
    // reply and its code delivered as the data.
    std::uint8_t value[4] = {};
    w.sendSdoUpload(rig.line, 0x2000, 0);
    QVERIFY(w.waitSdoUploadResponse(rig.line, 0x2000, 0, value));
    QCOMPARE(SerialCanFrame::getU32(value), 0x06020000u);
    const auto log = rig.node->log();
    QCOMPARE(log.back().bytes[3], std::uint8_t(0x80));
}

void TestSdo::debugLines()
{
    nodesim::Options options;
    options.startInBootMode = true;
    testsupport::NodeRig rig(options);
    Updater &w = *rig.window;
    testsupport::DebugCapture capture;
    const std::uint8_t key[4] = {0xE7, 0x51, 0x9C, 0x3A};
    std::uint8_t reply[4];
    w.sendSdoUpload(rig.line, 0x5101, 0);
    w.waitSdoUploadResponse(rig.line, 0x5101, 0, reply);
    w.sendSdoDownload(rig.line, 0x5102, 0x3F, key);
    w.waitSdoDownloadResponse(rig.line, 0x5102, 0x3F, reply);
    QCOMPARE(
        capture.lines(),
        QStringList({
            "Upload request Index: \"5101\"  SubIndex: \"0\"  Data: \"1\"   \"6\"   \"8\"   "
            "\"40\"   \"1\"   \"51\"   \"0\"   \"0\"   \"0\"   \"0\"   \"0\"  ",
            "\"81\"   \"5\"   \"8\"   \"43\"   \"1\"   \"51\"   \"0\"   \"74\"   \"6f\"   "
            "\"6f\"   \"62\"  ",
            "Download request Index: \"5102\"  SubIndex: \"3f\" \"e7\"   \"51\"   \"9c\"   "
            "\"3a\"  ",
            "\"81\"   \"5\"   \"8\"   \"60\"   \"2\"   \"51\"   \"3f\"   \"0\"   \"0\"   \"0\"   "
            "\"0\"  ",
        }));
}

void TestSdo::replyInTwoPieces()
{
    nodesim::Options options;
    options.faults.splitPieces = 2; // 5 bytes, then 6
    options.faults.splitDelayMs = 1000;
    testsupport::NodeRig rig(options);
    Updater &w = *rig.window;
    std::uint8_t value[4] = {};
    QElapsedTimer timer;
    timer.start();
    w.sendSdoUpload(rig.line, 0x5101, 0);
    QVERIFY(w.waitSdoUploadResponse(rig.line, 0x5101, 0, value));
    QVERIFY(timer.elapsed() >= 900);
    QCOMPARE(bytes(value, 4), QByteArray("mron"));
    // The next exchange starts in step.
    w.sendSdoUpload(rig.line, 0x5101, 0);
    QVERIFY(w.waitSdoUploadResponse(rig.line, 0x5101, 0, value));
    QCOMPARE(bytes(value, 4), QByteArray("mron"));
}

void TestSdo::partialReplyThenSilence()
{
    testsupport::PtyPeer peer;
    Updater w;
    w.nodeId = 1;
    const SerialLine::Handle line =
        SerialLine::open(SerialLine::devicePath(std::uint32_t(peer.com())));
    SerialLine::setTimeouts(line);
    testsupport::DebugCapture capture;
    std::thread sender([&] {
        QThread::msleep(300);
        peer.send(QByteArray::fromHex("81050843015100"));
    });
    qint64 elapsed = 0;
    std::uint8_t value[4];
    const QString text =
        timeoutOf([&] { w.waitSdoUploadResponse(line, 0x5102, 5, value); }, &elapsed);
    sender.join();
    QCOMPARE(text, QStringLiteral("Index: 5102, SubIndex: 5"));
    // The first read ends at its deadline with 7 bytes, then one more read
    // waits its 4000 ms in vain.
    QVERIFY2(elapsed >= 7950 && elapsed < 9500, qPrintable(QString::number(elapsed)));
    const QStringList lines = capture.lines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        QRegularExpression("^SDO upload response timeout:  (39[89]\\d|4\\d\\d\\d)  milli-second$")
            .match(lines[0])
            .hasMatch(),
        qPrintable(lines[0]));
    SerialLine::close(line);
}

void TestSdo::failedWrite()
{
    testsupport::NodeRig rig;
    Updater &w = *rig.window;
    rig.node->hangUp();
    QThread::msleep(50);
    const std::uint8_t key[4] = {1, 2, 3, 4};
    QVERIFY(!w.sendSdoDownload(rig.line, 0x5100, 4, key));
    QVERIFY(!w.sendSdoUpload(rig.line, 0x5101, 0));
    std::uint8_t reply[4];
    qint64 elapsed = 0;
    QCOMPARE(timeoutOf([&] { w.waitSdoDownloadResponse(rig.line, 0x5100, 4, reply); }, &elapsed),
             QStringLiteral("Index: 5100, SubIndex:  4"));
    QVERIFY(elapsed < 2000); // a dead line answers at once
}

void TestSdo::simulatorProgramAsComPort()
{
    // The simulator program registered as COM 7 is COM 7 to the port code,
    // and answers the mode read with 'norm'.
    QProcess sim;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", testsupport::configDir());
    sim.setProcessEnvironment(env);
    sim.start(QStringLiteral(NODESIM_EXE), {"--com", "7"});
    QVERIFY(sim.waitForStarted());
    QVERIFY(sim.waitForReadyRead(5000));
    QVERIFY(sim.readLine().startsWith("COM7 /dev/pts/"));

    bool listed = false;
    for (const auto &record : QuorvexCOMLib::EnumSerialCOM::Enumerate())
        listed = listed || record.port == 7;
    QVERIFY(listed);

    Updater w;
    w.nodeId = 1;
    const SerialLine::Handle line = SerialLine::open(SerialLine::devicePath(7));
    QVERIFY(line != SerialLine::InvalidHandle);
    SerialLine::setTimeouts(line);
    std::uint8_t value[4] = {};
    w.sendSdoUpload(line, 0x5101, 0);
    QVERIFY(w.waitSdoUploadResponse(line, 0x5101, 0, value));
    QCOMPARE(bytes(value, 4), QByteArray("mron"));
    SerialLine::close(line);

    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    QVERIFY(!QFileInfo::exists(testsupport::dosDevicesDir() + "/COM7"));
}

QRIO_TEST_MAIN(TestSdo)
#include "tst_sdo.moc"
