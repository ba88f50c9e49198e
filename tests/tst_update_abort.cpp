// Abort during the write or the read-back, by the button or the title bar:
// the block under way is finished, nothing more is sent, no message, the node
// stays in boot mode unmarked, and the next update goes through.
//
// The dialog hands out events once it judges the work long enough to be
// worth showing (as it does for a real adapter's pace), so the node here
// answers with a few milliseconds' latency.

#include "tests/common/updatefault.h"

#include <QApplication>

class TestUpdateAbort : public QObject
{
    Q_OBJECT

private slots:
    void abort_data();
    void abort();
};

namespace {

constexpr int kBlocks = 8;
constexpr long kBoot = 4;                  // mode read, two commands, mode read
constexpr long kWrite = 1 + 65L * kBlocks; // flash key, then per block 64 words and address
constexpr long kPerBlock = 65;             // per block read: its address, then 64 words

nodesim::Options slowNode()
{
    nodesim::Options options;
    options.faults.latencyMs = 5;
    return options;
}

} // namespace

void TestUpdateAbort::abort_data()
{
    QTest::addColumn<bool>("button");      // Abort pressed; else the title bar's close
    QTest::addColumn<int>("atValue");      // the first progress value at which it is done
    QTest::addColumn<QString>("label");    // the dialog's label then
    QTest::addColumn<long>("requests");    // the node's requests during the update
    QTest::addColumn<bool>("written");     // the whole image is in flash all the same
    QTest::addColumn<bool>("updateAgain"); // then a second update must go through

    const QString writing = QStringLiteral("Burning Firmware to Remote IO...");
    const QString reading = QStringLiteral("Reading Flash for comparing...");
    // Seen while block 2 is shown: block 2 is finished, block 3 never starts.
    QTest::newRow("Abort button during the write, then update again")
        << true << 256 * 2 << writing << kBoot + 1 + kPerBlock * 3 << false << true;
    QTest::newRow("title-bar close during the write")
        << false << 256 * 2 << writing << kBoot + 1 + kPerBlock * 3 << false << false;
    // The read-back's values go on from the write's: block 2 of the read
    // shows 256 * (kBlocks + 2). Nothing is compared, nothing marked.
    QTest::newRow("Abort button during the read-back, then update again")
        << true << 256 * (kBlocks + 2) << reading << kBoot + kWrite + kPerBlock * 3 << true << true;
    QTest::newRow("title-bar close during the read-back")
        << false << 256 * (kBlocks + 2) << reading << kBoot + kWrite + kPerBlock * 3 << true
        << false;
}

void TestUpdateAbort::abort()
{
    QFETCH(bool, button);
    QFETCH(int, atValue);
    QFETCH(QString, label);
    QFETCH(long, requests);
    QFETCH(bool, written);
    QFETCH(bool, updateAgain);

    UpdateRig rig(slowNode());
    rig.chooseFirmware(testsupport::randomBytes(256 * kBlocks, 41));
    bool done = false;
    QString labelThen;
    rig.whileRunning([&](QProgressDialog *d) {
        if (!done && d->value() >= atValue) {
            done = true;
            labelThen = d->labelText();
            if (button)
                QTest::mouseClick(d->findChild<QPushButton *>(), Qt::LeftButton);
            else
                d->close();
        }
    });
    rig.pressUpdate();
    rig.ticker.stop();
    QVERIFY(done);
    QCOMPARE(labelThen, label);
    QCOMPARE(rig.catcher.boxes.size(), 0);
    rig.checkIdle();
    QVERIFY(rig.node->bootMode());
    QVERIFY(!rig.node->firmwareMarked());
    QCOMPARE(rig.node->requestCount(), requests);
    const QStringList sent = receivedRequests(*rig.node);
    for (const QString &request : sent) {
        QVERIFY2(!request.startsWith(QLatin1String("01060823005104")), "firmware mark sent");
        QVERIFY2(!request.startsWith(QLatin1String("01060823005103")), "user-mode command sent");
    }
    if (written)
        rig.checkFlash();
    if (!updateAgain)
        return;

    rig.node->clearLog();
    rig.node->setFaults({});
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);
    QCOMPARE(rig.catcher.boxes[0].title, QStringLiteral("Burning Firmware Successful"));
    // The node was still in boot mode: one mode read, then the flash key.
    const auto again = rig.node->receivedRecords();
    QCOMPARE(again[1][3], std::uint8_t(0x23));
    QCOMPARE(again[1][6], std::uint8_t(8));
    rig.checkFlash();
}

QRIO_TEST_MAIN(TestUpdateAbort)
#include "tst_update_abort.moc"
