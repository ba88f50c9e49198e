// Updates that end early: each ends in its own message (or none), stores
// what it should and leaves the port free.

#include "updaterig.h"

#include <QApplication>
#include <QProcess>

class TestUpdateFailures : public QObject
{
    Q_OBJECT

private slots:
    void noPortListed();
    void portHeldByAnotherProcess();
    void missingFile();
    void hexFormatError();
    void emptyImageIsNotSent();
    void nodeThatNeverBoots();
    void readBackMismatch();
    void dialogRange_data();
    void dialogRange();
};

void TestUpdateFailures::noPortListed()
{
    UpdateRig rig;
    rig.chooseFirmware(testsupport::randomBytes(100, 1));
    rig.window->ui->spinBox_nodeid->setValue(77);
    rig.window->ui->comboBox->clear();
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 0);
    QCOMPARE(rig.node->requestCount(), 0L);
    QCOMPARE(rig.window->nodeId, 77);
    QVERIFY(!QSettings().contains("Settings/nodeid"));
    rig.checkIdle();
}

void TestUpdateFailures::portHeldByAnotherProcess()
{
    UpdateRig rig;
    rig.chooseFirmware(testsupport::randomBytes(100, 2));
    QSettings().setValue("Settings/nodeid", "5");
    QSettings().setValue("Settings/com_port", "3");
    QSettings().setValue("Settings/filename", "old");

    QProcess holder;
    holder.start("flock", {"-x", QString::fromStdString(rig.node->slavePath()), "sleep", "30"});
    QVERIFY(holder.waitForStarted());
    QTest::qWait(300);
    rig.pressUpdate();
    holder.kill();
    holder.waitForFinished();

    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Critical,
             QStringLiteral("Open Serial COM%1 failed").arg(rig.node->comNumber()),
             "Does there has other application lock the COM port?", rig.window.get());
    QSettings settings;
    QCOMPARE(settings.value("Settings/nodeid").toString(), QStringLiteral("5"));
    QCOMPARE(settings.value("Settings/com_port").toString(), QStringLiteral("3"));
    QCOMPARE(settings.value("Settings/filename").toString(), QStringLiteral("old"));
    QCOMPARE(rig.node->requestCount(), 0L);
    rig.checkIdle();
}

void TestUpdateFailures::missingFile()
{
    UpdateRig rig;
    rig.chooseFile(rig.dir.filePath("gone.hex"));
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Warning, "Load hex file error", "File does not exist.",
             rig.window.get());
    QCOMPARE(QSettings().value("Settings/filename").toString(), QStringLiteral("gone"));
    QCOMPARE(rig.node->requestCount(), 0L);
    rig.checkIdle();
}

void TestUpdateFailures::hexFormatError()
{
    UpdateRig rig;
    const QString path = rig.dir.filePath("broken.hex");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(":10000000000102030405060708090A0B0C0D0E0F00\n"); // wrong checksum
    f.close();
    rig.chooseFile(path);
    rig.window->ui->spinBox_nodeid->setValue(33);
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Critical, "Load hex file error",
             "unexpected format or checksum error", rig.window.get());
    // The choices are stored before the file is read.
    QSettings settings;
    QCOMPARE(settings.value("Settings/nodeid").toString(), QStringLiteral("33"));
    QCOMPARE(settings.value("Settings/filename").toString(), QStringLiteral("broken"));
    QCOMPARE(rig.node->requestCount(), 0L);
    rig.checkIdle();
}

void TestUpdateFailures::emptyImageIsNotSent()
{
    UpdateRig rig;
    rig.chooseFirmware(QByteArray(), "empty.hex");
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Warning, "Load hex file error", "Hex file contains no data.",
             rig.window.get());
    QCOMPARE(rig.node->requestCount(), 0L);
    QVERIFY(!rig.node->firmwareMarked());
    QVERIFY(rig.window->progressDialog == nullptr);
    rig.checkIdle();
}

void TestUpdateFailures::nodeThatNeverBoots()
{
    nodesim::Options options;
    options.faults.neverBoot = true;
    UpdateRig rig(options);
    rig.chooseFirmware(testsupport::randomBytes(500, 3));
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Critical, "Velmora(CANBus)", "Enter Boot Mode Failed",
             rig.window.get());
    QVERIFY(!rig.sawRequest("0106082300510208")); // no flash key
    QCOMPARE(rig.node->requestCount(), 4L);
    rig.checkIdle();
}

void TestUpdateFailures::readBackMismatch()
{
    nodesim::Options options;
    options.faults.corruptFlashOffset = 700;
    UpdateRig rig(options);
    rig.chooseFirmware(testsupport::randomBytes(1000, 4));
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Critical, "Burning Firmware Failed", "File is different",
             rig.window.get());
    QVERIFY(!rig.node->firmwareMarked());
    QVERIFY(!rig.sawRequest("01060823005104")); // no firmware mark
    QVERIFY(!rig.sawRequest("01060823005103")); // no user-mode command
    QVERIFY(rig.node->bootMode());
    rig.checkIdle();
}

void TestUpdateFailures::dialogRange_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("maximum");
    QTest::newRow("1000") << 1000 << 2049;
    QTest::newRow("256") << 256 << 513;
    QTest::newRow("131072") << 131072 << 262145;
}

void TestUpdateFailures::dialogRange()
{
    QFETCH(int, size);
    QFETCH(int, maximum);
    // A node that never boots ends the update with the dialog still up.
    nodesim::Options options;
    options.faults.neverBoot = true;
    UpdateRig rig(options);
    rig.chooseFirmware(testsupport::randomBytes(size, 5));
    struct Seen
    {
        int minimum = -2, maximum = -2, value = -2;
        Qt::WindowFlags flags;
        Qt::WindowModality modality = Qt::NonModal;
        QSize size;
        QString label;
        QString cancelText;
        bool visible = false;
    } seen;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        QProgressDialog *d = rig.window->progressDialog;
        if (d && d->isVisible() && !seen.visible) {
            seen = {d->minimum(), d->maximum(), d->value(), d->windowFlags(), d->windowModality(),
                    d->size(), d->labelText(), d->findChild<QPushButton *>()->text(), true};
        }
    });
    probe.start(0);
    rig.pressUpdate();
    QVERIFY(seen.visible);
    QCOMPARE(seen.minimum, 0);
    QCOMPARE(seen.maximum, maximum);
    QCOMPARE(seen.value, 1);
    // Dialog, title, customised, close button (Qt adds the system menu the
    // close button lives in); no minimise, maximise or help button.
    QCOMPARE(int(seen.flags & 0x0A001003), 0x0A001003);
    QCOMPARE(int(seen.flags & (Qt::WindowMinMaxButtonsHint | Qt::WindowContextHelpButtonHint)), 0);
    QCOMPARE(seen.modality, Qt::WindowModal);
    // 400 x 100, grown by Qt where the dialog's contents need more height.
    QCOMPARE(seen.size.width(), 400);
    QVERIFY(seen.size.height() >= 100 && seen.size.height() < 140);
    QCOMPARE(seen.label, QStringLiteral("Burning Firmware to Remote IO..."));
    QCOMPARE(seen.cancelText, QStringLiteral("Abort"));
    QCOMPARE(rig.window->progressDialog->parentWidget(), rig.window.get());
    rig.checkIdle();
}

QRIO_TEST_MAIN(TestUpdateFailures)
#include "tst_update_failures.moc"
