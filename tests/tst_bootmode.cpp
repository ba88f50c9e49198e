// Moving the node into boot mode: the exchanges, the pause, the failures.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "canopen/modepauses.h"
#include "canopen/serialcanframe.h"
#include "tests/common/testsupport.h"

#include <QApplication>
#include <QTest>

using Updater = QuorvexRemoteIOFirmwareUpdater;
using nodesim::Direction;

namespace {

QString hex(const std::vector<std::uint8_t> &b)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())).toHex());
}

void checkFailureBox(const testsupport::MessageBoxCatcher &catcher, QWidget *window,
                     const QString &text)
{
    QCOMPARE(catcher.boxes.size(), 1);
    const testsupport::CaughtBox &box = catcher.boxes[0];
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral(QRIO_APP_NAME));
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, window);
}

} // namespace

class TestBootMode : public QObject
{
    Q_OBJECT

private slots:
    void userModeNodeSwitches();
    void nodeAlreadyInBootMode();
    void nodeThatNeverBoots();
    void extraReplyToFirstCommandIsSkipped();
    void silentNode();
    void firmwareMark();
};

void TestBootMode::userModeNodeSwitches()
{
    testsupport::NodeRig rig;
    testsupport::DebugCapture capture;
    QVERIFY(rig.window->enterBootMode(rig.line));
    QVERIFY(rig.node->bootMode());

    const auto log = rig.node->log();
    QStringList wire;
    for (const auto &e : log)
        wire << QString(e.direction == Direction::Received ? "rx " : "tx ") + hex(e.bytes);
    QCOMPARE(wire, QStringList({
                       "rx 0106084001510000000000", // mode read
                       "tx 810508430151006d726f6e", // 'norm'
                       "rx 01060823005101e7519c3a", // first step, no reply
                       "rx 01060823005102e7519c3a", // second step
                       "tx 81050860005102"
                       "00000000",
                       "rx 0106084001510000000000",
                       "tx 81050843015100746f6f62", // 'boot'
                   }));
    const auto gap =
        std::chrono::duration_cast<std::chrono::milliseconds>(log[3].time - log[2].time);
    // The node stamps records as its thread reads them, so a few
    // milliseconds of its wake-up jitter can come off the tool's pause.
    const auto pause = ModePauses::afterBootStep1;
    QVERIFY2(gap >= pause - std::chrono::milliseconds(20) && gap < pause + std::chrono::seconds(1),
             qPrintable(QString::number(gap.count())));

    const QStringList lines = capture.lines();
    QCOMPARE(lines.count("Check is boot mode"), 2);
    QVERIFY(lines.contains("\"6d\"   \"72\"   \"6f\"   \"6e\""));
    QVERIFY(lines.contains("\"74\"   \"6f\"   \"6f\"   \"62\""));
}

void TestBootMode::nodeAlreadyInBootMode()
{
    nodesim::Options options;
    options.startInBootMode = true;
    testsupport::NodeRig rig(options);
    QVERIFY(rig.window->enterBootMode(rig.line));
    QCOMPARE(rig.requests(), QStringList({"0106084001510000000000"}));
    QCOMPARE(int(rig.node->log().size()), 2);
}

void TestBootMode::nodeThatNeverBoots()
{
    nodesim::Options options;
    options.faults.neverBoot = true;
    testsupport::NodeRig rig(options);
    testsupport::MessageBoxCatcher catcher;
    QVERIFY(!rig.window->enterBootMode(rig.line));
    checkFailureBox(catcher, rig.window.get(), QStringLiteral("Enter Boot Mode Failed"));
    // One attempt only: mode read, two commands, mode read.
    QCOMPARE(rig.requests().size(), 4);
}

void TestBootMode::extraReplyToFirstCommandIsSkipped()
{
    nodesim::Options options;
    options.faults.extraReplyToBootStep1 = true;
    testsupport::NodeRig rig(options);
    // The first command's reply is not the second's: it is skipped, and
    // every later exchange stays in step.
    QVERIFY(rig.window->enterBootMode(rig.line));
    QVERIFY(rig.node->bootMode());
    std::uint8_t value[4] = {};
    rig.window->sendSdoUpload(rig.line, 0x5101, 0);
    QVERIFY(rig.window->waitSdoUploadResponse(rig.line, 0x5101, 0, value));
    QCOMPARE(SerialCanFrame::getU32(value), 0x626F6F74u);
}

void TestBootMode::silentNode()
{
    nodesim::Options options;
    options.faults.silentAfterRequests = 2; // answers the mode read, then nothing
    testsupport::NodeRig rig(options);
    QString text;
    try {
        rig.window->enterBootMode(rig.line);
    } catch (Updater::TimeoutException *e) {
        text = QString::fromStdString(e->message);
        delete e;
    }
    QCOMPARE(text, QStringLiteral("Index: 5100, SubIndex:  2"));
}

void TestBootMode::firmwareMark()
{
    nodesim::Options options;
    options.startInBootMode = true;
    testsupport::NodeRig rig(options);
    QVERIFY(rig.window->writeFirmwareMark(rig.line));
    QCOMPARE(rig.requests(), QStringList({"01060823005104e7519c3a"}));
    QVERIFY(rig.node->firmwareMarked());
}

QRIO_TEST_MAIN(TestBootMode)
#include "tst_bootmode.moc"
