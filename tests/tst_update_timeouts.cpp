// Updates that meet a silent node: "Read timeout" with the exchange that
// went unanswered, and the port free again at once.

#include "updaterig.h"

#include <QApplication>

class TestUpdateTimeouts : public QObject
{
    Q_OBJECT

private slots:
    void silenceDuringWriteThenRetry();
    void nodeThatStaysInBootMode();
    void noGuardRecord();
};

void TestUpdateTimeouts::silenceDuringWriteThenRetry()
{
    nodesim::Options options;
    // Mode read, two boot commands, mode read, flash key, then 20 words.
    options.faults.silentAfterRequests = 5 + 20;
    UpdateRig rig(options);
    rig.chooseFirmware(testsupport::randomBytes(2000, 31));
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Critical, "Read timeout", "Index: 5102, SubIndex: 14",
             rig.window.get());
    QCOMPARE(rig.node->requestCount(), 5L + 21L); // nothing after the unanswered request
    rig.checkIdle();

    // The port was closed: the next update opens it at once and finishes,
    // starting from the boot mode the node was left in.
    nodesim::Faults none;
    rig.node->setFaults(none);
    rig.node->clearLog();
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 2);
    QCOMPARE(rig.catcher.boxes[1].title, QStringLiteral("Burning Firmware Successful"));
    QCOMPARE(rig.flash(2000), rig.expectedImage());
}

void TestUpdateTimeouts::nodeThatStaysInBootMode()
{
    nodesim::Options options;
    options.faults.neverUser = true;
    UpdateRig rig(options);
    rig.chooseFirmware(testsupport::randomBytes(700, 32));
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Critical, "Velmora(CANBus)", "Enter User Mode Failed",
             rig.window.get());
    QVERIFY(rig.node->firmwareMarked());
    rig.checkIdle();
}

void TestUpdateTimeouts::noGuardRecord()
{
    nodesim::Options options;
    options.faults.noBootUp = true;
    UpdateRig rig(options);
    rig.chooseFirmware(testsupport::randomBytes(700, 33));
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Critical, "Read timeout", "Receive Guard", rig.window.get());
    rig.checkIdle();
}

QRIO_TEST_MAIN(TestUpdateTimeouts)
#include "tst_update_timeouts.moc"
