// What a silent node makes of each exchange: the time-out texts and lines.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "tests/common/testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using Updater = QuorvexRemoteIOFirmwareUpdater;

class TestSdoTimeouts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void timeoutText_data();
    void timeoutText();

private:
    std::unique_ptr<testsupport::NodeRig> rig;
};

void TestSdoTimeouts::initTestCase()
{
    nodesim::Options options;
    options.faults.silent = true;
    rig = std::make_unique<testsupport::NodeRig>(options);
}

void TestSdoTimeouts::cleanupTestCase()
{
    rig.reset();
}

void TestSdoTimeouts::timeoutText_data()
{
    QTest::addColumn<bool>("download");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("sub");
    QTest::addColumn<QString>("text");
    QTest::newRow("firmware mark") << true << 0x5100 << 4 << "Index: 5100, SubIndex:  4";
    QTest::newRow("last block word") << true << 0x5102 << 0x3F << "Index: 5102, SubIndex: 3f";
    QTest::newRow("short index") << true << 0x1F0 << 0 << "Index:  1f0, SubIndex:  0";
    QTest::newRow("mode read") << false << 0x5101 << 0 << "Index: 5101, SubIndex: 0";
    QTest::newRow("block word read") << false << 0x5102 << 5 << "Index: 5102, SubIndex: 5";
}

void TestSdoTimeouts::timeoutText()
{
    QFETCH(bool, download);
    QFETCH(int, index);
    QFETCH(int, sub);
    QFETCH(QString, text);
    Updater &w = *rig->window;
    testsupport::DebugCapture capture;
    std::uint8_t data[4] = {0xE7, 0x51, 0x9C, 0x3A};
    QElapsedTimer timer;
    timer.start();
    QString caught;
    try {
        if (download) {
            w.sendSdoDownload(rig->line, std::uint16_t(index), std::uint8_t(sub), data);
            w.waitSdoDownloadResponse(rig->line, std::uint16_t(index), std::uint8_t(sub), data);
        } else {
            w.sendSdoUpload(rig->line, std::uint16_t(index), std::uint8_t(sub));
            w.waitSdoUploadResponse(rig->line, std::uint16_t(index), std::uint8_t(sub), data);
        }
    } catch (Updater::TimeoutException *e) {
        std::unique_ptr<std::exception> owned(e); // also catchable as std::exception
        caught = QString::fromUtf8(owned->what());
    }
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(caught, text);
    QVERIFY2(elapsed >= 3990 && elapsed < 5500, qPrintable(QString::number(elapsed)));
    const QStringList lines = capture.lines();
    QCOMPARE(lines.size(), 2); // the request, then the time-out
    const QString prefix =
        download ? "SDO download response timeout: " : "SDO upload response timeout: ";
    QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(prefix) + " (\\d+)  milli-second$")
                 .match(lines[1])
                 .hasMatch(),
             qPrintable(lines[1]));
}

QRIO_TEST_MAIN(TestSdoTimeouts)
#include "tst_sdo_timeouts.moc"
