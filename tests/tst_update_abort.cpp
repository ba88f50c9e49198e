// Abort during the write, by the button or the title bar: no message, the
// node stays in boot mode, and the next update goes through.
//
// The dialog hands out events once it judges the work long enough to be
// worth showing (as it does for a real adapter's pace), so the node here
// answers with a few milliseconds' latency.

#include "updaterig.h"

#include <QApplication>

class TestUpdateAbort : public QObject
{
    Q_OBJECT

private slots:
    void abortButtonThenUpdateAgain();
    void titleBarCloseActsAsAbort();
};

namespace {
nodesim::Options slowNode()
{
    nodesim::Options options;
    options.faults.latencyMs = 5;
    return options;
}
} // namespace

void TestUpdateAbort::abortButtonThenUpdateAgain()
{
    UpdateRig rig(slowNode());
    rig.chooseFirmware(testsupport::randomBytes(256 * 8, 41));
    bool pressed = false;
    rig.whileRunning([&](QProgressDialog *d) {
        if (!pressed && d->value() >= 256 * 2) {
            pressed = true;
            QTest::mouseClick(d->findChild<QPushButton *>(), Qt::LeftButton);
        }
    });
    rig.pressUpdate();
    rig.ticker.stop();
    QVERIFY(pressed);
    QCOMPARE(rig.catcher.boxes.size(), 0);
    rig.checkIdle();
    QVERIFY(rig.node->bootMode());
    QVERIFY(!rig.node->firmwareMarked());
    // Mode read, two commands, mode read, flash key, three blocks; nothing read back.
    QCOMPARE(rig.node->requestCount(), 4L + 1 + 65 * 3);

    rig.node->clearLog();
    rig.node->setFaults({});
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    QCOMPARE(rig.catcher.boxes[0].title, QStringLiteral("Burning Firmware Successful"));
    // The node was still in boot mode: one mode read, then the flash key.
    const auto requests = rig.node->receivedRecords();
    QCOMPARE(requests[1][3], std::uint8_t(0x23));
    QCOMPARE(requests[1][6], std::uint8_t(8));
    rig.checkFlash();
}

void TestUpdateAbort::titleBarCloseActsAsAbort()
{
    UpdateRig rig(slowNode());
    rig.chooseFirmware(testsupport::randomBytes(256 * 8, 42));
    bool closed = false;
    rig.whileRunning([&](QProgressDialog *d) {
        if (!closed && d->value() >= 512) {
            closed = true;
            d->close();
        }
    });
    rig.pressUpdate();
    rig.ticker.stop();
    QVERIFY(closed);
    QCOMPARE(rig.catcher.boxes.size(), 0);
    rig.checkIdle();
    QVERIFY(rig.node->bootMode());
    QCOMPARE(rig.node->requestCount(), 4L + 1 + 65 * 3);
}

QRIO_TEST_MAIN(TestUpdateAbort)
#include "tst_update_abort.moc"
