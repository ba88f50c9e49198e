// Writing the image into the node's flash and reading it back.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "tests/common/testsupport.h"

#include <QApplication>
#include <QProgressBar>
#include <QProgressDialog>
#include <QTest>

#include <cstring>
#include <functional>

using Updater = QuorvexRemoteIOFirmwareUpdater;

namespace {

struct FlashRig : testsupport::NodeRig
{
    explicit FlashRig(nodesim::Options options = bootOptions()) : NodeRig(options)
    {
        Updater &w = *window;
        dialog =
            new QProgressDialog(QStringLiteral("Burning"), QStringLiteral("Abort"), 0, 1000000, &w);
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setValue(1);
        dialog->show();
        w.progressDialog = dialog;
        w.progressValue = 0;
        // Record every value the transfer hands the dialog.
        QObject::connect(dialog->findChild<QProgressBar *>(), &QProgressBar::valueChanged,
                         [this](int v) {
                             if (v != 1)
                                 values << v;
                             if (onValue)
                                 onValue(v);
                         });
    }
    static nodesim::Options bootOptions()
    {
        nodesim::Options o;
        o.startInBootMode = true;
        return o;
    }
    void loadImage(const QByteArray &data)
    {
        std::memset(window->image, 0xFF, sizeof window->image);
        std::memcpy(window->image, data.constData(), size_t(data.size()));
        window->imageSize = data.size();
        std::memset(window->readBackImage, 0xFF, sizeof window->readBackImage);
    }
    QProgressDialog *dialog;
    QList<int> values;
    std::function<void(int)> onValue;
};

// What whole blocks of `data` hold: the data, then the 0xFF fill.
QByteArray inBlocks(const QByteArray &data)
{
    const int size = (data.size() + 255) / 256 * 256;
    return data + QByteArray(size - data.size(), char(0xFF));
}

QString hexWord(std::uint32_t v)
{
    const std::uint8_t b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                               std::uint8_t(v >> 24)};
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(b), 4).toHex());
}

} // namespace

class TestFlash : public QObject
{
    Q_OBJECT

private slots:
    void blockCounts_data();
    void blockCounts();
    void writeSequence();
    void fullImageRoundTrip();
    void abortDuringWrite();
    void corruptionBelowAndAboveImageSize();
    void emptyImage();
    void silentNodeMidWrite();
};

void TestFlash::blockCounts_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("blocks");
    QTest::newRow("1") << 1 << 1;
    QTest::newRow("256") << 256 << 1;
    QTest::newRow("257") << 257 << 2;
    QTest::newRow("1024") << 1024 << 4;
}

void TestFlash::blockCounts()
{
    QFETCH(int, size);
    QFETCH(int, blocks);
    FlashRig rig;
    const QByteArray data = testsupport::randomBytes(size, 7);
    rig.loadImage(data);
    rig.window->writeFlash(rig.line);
    QCOMPARE(rig.requests().size(), 1 + 65 * blocks);
    rig.node->clearLog();
    rig.window->readFlash(rig.line);
    QCOMPARE(rig.requests().size(), 65 * blocks);
    QVERIFY(rig.window->compareImages());
    // Whole blocks travel: the 0xFF fill past the data comes back too.
    QCOMPARE(QByteArray(reinterpret_cast<char *>(rig.window->readBackImage), blocks * 256),
             inBlocks(data));
    QList<int> expected;
    for (int j = 0; j < 2 * blocks; ++j)
        expected << 256 * j;
    QCOMPARE(rig.values, expected);
    QCOMPARE(rig.window->progressValue, 512 * blocks);
}

void TestFlash::writeSequence()
{
    FlashRig rig;
    const QByteArray data = testsupport::randomBytes(300, 11);
    rig.loadImage(data);
    rig.window->writeFlash(rig.line);
    const QStringList requests = rig.requests();
    QCOMPARE(requests.size(), 1 + 65 * 2);
    QCOMPARE(requests[0], QStringLiteral("01060823005108") + hexWord(0x5E3B90C4));
    for (int j = 0; j < 2; ++j) {
        for (int k = 0; k < 64; ++k) {
            const QByteArray word = inBlocks(data).mid(256 * j + 4 * k, 4);
            QCOMPARE(requests[1 + 65 * j + k], QStringLiteral("010608230251")
                                                   + QString::number(k, 16).rightJustified(2, '0')
                                                   + QString::fromLatin1(word.toHex()));
        }
        QCOMPARE(requests[1 + 65 * j + 64],
                 QStringLiteral("01060823005106") + hexWord(0x8000 + 256 * j));
    }
    QCOMPARE(requests[65], QStringLiteral("0106082300510600800000"));

    rig.node->clearLog();
    rig.window->readFlash(rig.line);
    const QStringList reads = rig.requests();
    QCOMPARE(reads.size(), 65 * 2);
    for (int j = 0; j < 2; ++j) {
        QCOMPARE(reads[65 * j], QStringLiteral("01060823005107") + hexWord(0x8000 + 256 * j));
        for (int k = 0; k < 64; ++k)
            QCOMPARE(reads[65 * j + 1 + k], QStringLiteral("010608400251")
                                                + QString::number(k, 16).rightJustified(2, '0')
                                                + "00000000");
    }
    const std::vector<std::uint8_t> flash = rig.node->flash();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(flash.data()), 300), data);
}

void TestFlash::fullImageRoundTrip()
{
    FlashRig rig;
    const QByteArray data = testsupport::randomBytes(131072, 3);
    rig.loadImage(data);
    rig.window->writeFlash(rig.line);
    const QStringList requests = rig.requests();
    QCOMPARE(requests.size(), 1 + 65 * 512);
    QCOMPARE(requests.last(), QStringLiteral("01060823005106") + hexWord(0x27F00));
    const std::vector<std::uint8_t> flash = rig.node->flash();
    QVERIFY(QByteArray(reinterpret_cast<const char *>(flash.data()), 131072) == data);

    rig.node->clearLog();
    rig.window->readFlash(rig.line);
    QCOMPARE(rig.requests().size(), 65 * 512);
    QCOMPARE(rig.requests()[65 * 511], QStringLiteral("01060823005107") + hexWord(0x27F00));
    QVERIFY(QByteArray(reinterpret_cast<char *>(rig.window->readBackImage), 131072) == data);
    QVERIFY(rig.window->compareImages());
    QCOMPARE(rig.values.size(), 1024);
    QCOMPARE(rig.values.last(), 256 * 1023);
}

void TestFlash::abortDuringWrite()
{
    FlashRig rig;
    rig.loadImage(testsupport::randomBytes(256 * 6, 5));
    // Abort pressed while block 2 is shown.
    rig.onValue = [&](int v) {
        if (v == 256 * 2)
            rig.dialog->cancel();
    };
    rig.window->writeFlash(rig.line);
    QVERIFY(rig.dialog->wasCanceled());
    // Block 2 is finished, block 3 never starts.
    QCOMPARE(rig.requests().size(), 1 + 65 * 3);
    QCOMPARE(rig.requests().last(), QStringLiteral("01060823005106") + hexWord(0x8200));
    QCOMPARE(rig.window->progressValue, 256 * 3);
    rig.node->clearLog();
    rig.window->readFlash(rig.line);
    QCOMPARE(rig.requests().size(), 0);
}

void TestFlash::corruptionBelowAndAboveImageSize()
{
    for (const long offset : {50L, 150L}) {
        nodesim::Options options = FlashRig::bootOptions();
        options.faults.corruptFlashOffset = offset;
        FlashRig rig(options);
        const QByteArray data = inBlocks(testsupport::randomBytes(100, 9));
        rig.loadImage(data.left(100));
        rig.window->writeFlash(rig.line);
        rig.window->readFlash(rig.line);
        // Only the first 100 bytes are compared.
        QCOMPARE(rig.window->compareImages(), offset >= 100);
        QVERIFY(char(rig.window->readBackImage[offset]) != data[int(offset)]);
    }
}

void TestFlash::emptyImage()
{
    FlashRig rig;
    rig.loadImage(QByteArray());
    rig.window->writeFlash(rig.line);
    QCOMPARE(rig.requests().size(), 1);
    rig.node->clearLog();
    rig.window->readFlash(rig.line);
    QCOMPARE(rig.requests().size(), 0);
    QVERIFY(rig.window->compareImages());
}

void TestFlash::silentNodeMidWrite()
{
    nodesim::Options options = FlashRig::bootOptions();
    options.faults.silentAfterRequests = 1 + 65 + 10; // falls silent at word 10 of block 1
    FlashRig rig(options);
    rig.loadImage(testsupport::randomBytes(1024, 13));
    testsupport::DebugCapture capture;
    QString text;
    try {
        rig.window->writeFlash(rig.line);
    } catch (Updater::TimeoutException *e) {
        text = QString::fromStdString(e->message);
        delete e;
    }
    QCOMPARE(text, QStringLiteral("Index: 5102, SubIndex:  a"));
    QCOMPARE(rig.requests().size(), 1 + 65 + 11); // nothing after the unanswered one
    QCOMPARE(rig.window->progressValue, 256);
    QVERIFY(!capture.lines().last().startsWith("Write flash done"));
}

QRIO_TEST_MAIN(TestFlash)
#include "tst_flash.moc"
