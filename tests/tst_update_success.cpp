// Whole updates that succeed.

#include "updaterig.h"

#include <QApplication>

class TestUpdateSuccess : public QObject
{
    Q_OBJECT

private slots:
    void fullUpdate();
    void twoUpdatesInARowOnTheSamePort();
};

void TestUpdateSuccess::fullUpdate()
{
    nodesim::Options options;
    options.nodeId = 12;
    UpdateRig rig(options);
    rig.chooseFirmware(testsupport::randomBytes(131072, 21));
    rig.pressUpdate();

    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Information, "Burning Firmware Successful",
             "Firmware of remote IO has beed updated.", rig.window.get());
    rig.checkIdle();
    QCOMPARE(rig.window->imageSize, 131072);
    rig.checkFlash();
    QVERIFY(rig.node->firmwareMarked());
    QVERIFY(!rig.node->bootMode());
    QCOMPARE(rig.window->progressDialog->maximum(), 1);
    QCOMPARE(rig.window->progressDialog->value(), -1); // reset when it reached its maximum

    // The choices were remembered.
    QSettings settings;
    QCOMPARE(settings.value("Settings/nodeid").toString(), QStringLiteral("12"));
    QCOMPARE(settings.value("Settings/com_port").toString(),
             QString::number(rig.node->comNumber()));
    QCOMPARE(settings.value("Settings/filename").toString(), QStringLiteral("io_v1.2"));
}

void TestUpdateSuccess::twoUpdatesInARowOnTheSamePort()
{
    UpdateRig rig;
    rig.chooseFirmware(testsupport::randomBytes(1000, 22));
    rig.pressUpdate();
    rig.chooseFirmware(testsupport::randomBytes(3000, 23), QStringLiteral("second.hex"));
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 2);
    for (const auto &box : rig.catcher.boxes)
        QCOMPARE(box.title, QStringLiteral("Burning Firmware Successful"));
    rig.checkFlash();
    rig.checkIdle();
    // The first update's dialog made way for the second's.
    QCOMPARE(rig.window->findChildren<QProgressDialog *>().size(), 1);
}

QRIO_TEST_MAIN(TestUpdateSuccess)
#include "tst_update_success.moc"
