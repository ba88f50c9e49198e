// Returning the node to user mode: the pause, the boot-up record, the checks.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "canopen/modepauses.h"
#include "tests/common/testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

using Updater = QuorvexRemoteIOFirmwareUpdater;

namespace {
constexpr qint64 kPauseMs = ModePauses::afterUserMode.count();
} // namespace

class TestUserMode : public QObject
{
    Q_OBJECT

private slots:
    void bootUpDuringPauseIsReadAtOnce();
    void nodeThatStaysInBootMode();
    void noBootUpRecord();
    void guardIsTheNodesOwnFrame();
};

void TestUserMode::bootUpDuringPauseIsReadAtOnce()
{
    nodesim::Options options;
    options.startInBootMode = true;
    options.nodeId = 9;
    testsupport::NodeRig rig(options);
    testsupport::DebugCapture capture;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(rig.window->enterUserMode(rig.line));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= kPauseMs && elapsed < kPauseMs + 1500,
             qPrintable(QString::number(elapsed)));
    QVERIFY(!rig.node->bootMode());
    QCOMPARE(rig.requests(), QStringList({"09060823005103e7519c3a", "0906084001510000000000"}));
    const QStringList lines = capture.lines();
    const int guide = lines.indexOf("Receive guide");
    QVERIFY(guide >= 0);
    QCOMPARE(lines.value(guide + 1), QStringLiteral("\"0\""));
    QVERIFY(!lines.contains("Check is boot mode"));
}

void TestUserMode::nodeThatStaysInBootMode()
{
    nodesim::Options options;
    options.startInBootMode = true;
    options.faults.neverUser = true;
    testsupport::NodeRig rig(options);
    testsupport::MessageBoxCatcher catcher;
    QVERIFY(!rig.window->enterUserMode(rig.line));
    QCOMPARE(catcher.boxes.size(), 1);
    QCOMPARE(catcher.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(catcher.boxes[0].title, QStringLiteral(QRIO_APP_NAME));
    QCOMPARE(catcher.boxes[0].text, QStringLiteral("Enter User Mode Failed"));
}

void TestUserMode::noBootUpRecord()
{
    nodesim::Options options;
    options.startInBootMode = true;
    options.faults.noBootUp = true;
    testsupport::NodeRig rig(options);
    testsupport::DebugCapture capture;
    QElapsedTimer timer;
    timer.start();
    QString text;
    try {
        rig.window->enterUserMode(rig.line);
    } catch (Updater::TimeoutException *e) {
        text = QString::fromUtf8(e->what());
        delete e;
    }
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(text, QStringLiteral("Receive Guard"));
    // The pause, then the boot-up record's read time-out.
    const qint64 least = kPauseMs + qint64(SerialLine::ReadTimeoutMs);
    QVERIFY2(elapsed >= least && elapsed < least + 1500, qPrintable(QString::number(elapsed)));
    QVERIFY(QRegularExpression("^Receive guard timeout: cost  \\d+  milli-second$")
                .match(capture.lines().value(capture.lines().size() - 1))
                .hasMatch());
    // No mode read after a missing guard.
    QCOMPARE(rig.requests().size(), 1);
}

void TestUserMode::guardIsTheNodesOwnFrame()
{
    // Another node's heartbeat and a reply of ours come first: the guard is
    // the node's boot-up frame behind them, and the next reply after it.
    testsupport::PtyPeer peer;
    Updater w;
    w.nodeId = 1;
    const SerialLine::Handle line =
        SerialLine::open(SerialLine::devicePath(std::uint32_t(peer.com())));
    SerialLine::setTimeouts(line);
    peer.send(QByteArray::fromHex("02070105"
                                  "81050843015100746f6f62"
                                  "01070100"
                                  "81050843015100"
                                  "01020304"));
    testsupport::DebugCapture capture;
    w.receiveGuard(line);
    QCOMPARE(capture.lines(), QStringList({"Receive guide", "\"0\""}));
    std::uint8_t value[4];
    QVERIFY(w.waitSdoUploadResponse(line, 0x5101, 0, value));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(value), 4), QByteArray::fromHex("01020304"));
    SerialLine::close(line);
}

QRIO_TEST_MAIN(TestUserMode)
#include "tst_usermode.moc"
