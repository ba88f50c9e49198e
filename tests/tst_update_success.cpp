// Whole updates that succeed.

#include "tests/common/updatefault.h"

#include <QApplication>
#include <QMap>
#include <QSet>

class TestUpdateSuccess : public QObject
{
    Q_OBJECT

private slots:
    void fullUpdate();
    void twoUpdatesInARowOnTheSamePort();
    void dialogLabel_data();
    void dialogLabel();

private:
    // The labels the dialog showed whenever it handed out events during one
    // successful update, by the stage the node's requests had reached.
    QMap<QString, QSet<QString>> labelsByStage;
};

namespace {

// The stage of an update that the requests so far show: after the user-mode
// command "user mode", else that of the last request.
QString stageOf(const QStringList &requests)
{
    for (const QString &r : requests) {
        if (r.startsWith(QLatin1String("01060823005103")))
            return QStringLiteral("user mode");
    }
    const QString last = requests.value(requests.size() - 1);
    if (last.startsWith(QLatin1String("01060823005108"))     // flash key
        || last.startsWith(QLatin1String("010608230251"))    // block word
        || last.startsWith(QLatin1String("01060823005106"))) // block address
        return QStringLiteral("write");
    if (last.startsWith(QLatin1String("01060823005107"))   // block to read
        || last.startsWith(QLatin1String("010608400251"))) // block word read
        return QStringLiteral("read-back");
    return QStringLiteral("other: ") + last;
}

} // namespace

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

void TestUpdateSuccess::dialogLabel_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QString>("label");
    QTest::newRow("write") << "write"
                           << "Burning Firmware to Remote IO...";
    QTest::newRow("read-back") << "read-back"
                               << "Reading Flash for comparing...";
    // Whenever the dialog next hands out events after the user-mode command:
    // during the 5 s wait where the wait serves events, at the latest when
    // the outcome is shown.
    QTest::newRow("user-mode wait") << "user mode"
                                    << "Enter user mode...(wait 5 second)";
}

void TestUpdateSuccess::dialogLabel()
{
    QFETCH(QString, stage);
    QFETCH(QString, label);

    if (labelsByStage.isEmpty()) {
        // A node with a real adapter's pace and an image big enough that the
        // dialog judges the work worth showing and hands out events.
        nodesim::Options options;
        options.faults.latencyMs = 5;
        UpdateRig rig(options);
        rig.chooseFirmware(testsupport::randomBytes(256 * 8, 24));
        rig.whileRunning([&](QProgressDialog *d) {
            labelsByStage[stageOf(receivedRequests(*rig.node))].insert(d->labelText());
        });
        rig.pressUpdate();
        rig.ticker.stop();
        QCOMPARE(rig.catcher.boxes.size(), 1);
        QCOMPARE(rig.catcher.boxes[0].title, QStringLiteral("Burning Firmware Successful"));
        rig.checkFlash();
    }
    const QStringList seen = labelsByStage.value(stage).values();
    QCOMPARE(seen, QStringList{label});
}

QRIO_TEST_MAIN(TestUpdateSuccess)
#include "tst_update_success.moc"
