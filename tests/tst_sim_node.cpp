// The simulated node behind the adapter (sim/nodemodel, sim/flashstore),
// seen from a client on its pseudo-terminal: exact replies, the mode
// switching, refused requests, flash blocks and the flash file, and the
// node's own fault switches.

#include "tests/common/simclient.h"
#include "tests/common/testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace simclient;
using nodesim::NodeSim;

class TestSimNode : public QObject
{
    Q_OBJECT

private slots:
    void modeWordReplies();
    void bootAndUserMode();
    void objectAborts_data();
    void objectAborts();
    void flashBlocks();
    void flashFile();
    void modeSwitchFaults();
    void corruptFlash();
    void extraReplyToBootStep1();
};

void TestSimNode::modeWordReplies()
{
    // The tool's mode read, byte for byte, in user mode...
    auto node = testsupport::startNode();
    Port port(node->slavePath());
    QVERIFY(port.fd >= 0);
    QCOMPARE(hex(port.exchange(bytes("01 06 08 40 01 51 00 00 00 00 00"))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QCOMPARE(node->requestCount(), 1L);
    QVERIFY(!node->bootMode());

    // ... and in boot mode, for the highest node ID.
    nodesim::Options options;
    options.nodeId = 127;
    options.startInBootMode = true;
    auto boot = testsupport::startNode(options);
    Port bootPort(boot->slavePath());
    QCOMPARE(hex(bootPort.exchange(bytes("7F 06 08 40 01 51 00 00 00 00 00"))),
             QByteArray("FF 05 08 43 01 51 00 74 6F 6F 62"));
    QVERIFY(boot->bootMode());

    // The node answers each request once and sends nothing on its own.
    QCOMPARE(port.drain(200), QByteArray());
    const auto log = node->log();
    QCOMPARE(int(log.size()), 2);
    QCOMPARE(log[0].direction, nodesim::Direction::Received);
    QCOMPARE(log[1].direction, nodesim::Direction::Sent);
    QVERIFY(log[0].time <= log[1].time);
    QCOMPARE(hex(log[1].bytes), QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
}

void TestSimNode::bootAndUserMode()
{
    auto node = testsupport::startNode(); // the restart takes the default 1000 ms
    Port port(node->slavePath());

    // Out of order or with the wrong key, the commands are refused.
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))),
             hex(abortReply(1, 0x5100, 2, 0x08000022)));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 4, kCommandKey))),
             hex(abortReply(1, 0x5100, 4, 0x08000022)));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 1, 0x12345678))),
             hex(abortReply(1, 0x5100, 1, 0x06090030)));
    QVERIFY(!node->firmwareMarked());

    // Step 1 goes unanswered; step 2 is confirmed and the node runs boot mode,
    // without announcing itself.
    QCOMPARE(hex(port.exchange(bytes("01 06 08 23 00 51 01 E7 51 9C 3A"), 11, 300)), QByteArray());
    QCOMPARE(hex(port.exchange(bytes("01 06 08 23 00 51 02 E7 51 9C 3A"))),
             QByteArray("81 05 08 60 00 51 02 00 00 00 00"));
    QVERIFY(node->bootMode());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 74 6F 6F 62"));

    // A second step 2 needs a new step 1.
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))),
             hex(abortReply(1, 0x5100, 2, 0x08000022)));

    // The firmware mark.
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 4, kCommandKey))), hex(confirm(1, 0x5100, 4)));
    QVERIFY(node->firmwareMarked());

    // Back to user mode: no reply, the node is away for its restart (a
    // request meanwhile goes unanswered), then the 4-byte boot-up record.
    QElapsedTimer restart;
    restart.start();
    port.send(download(1, 0x5100, 3, kCommandKey));
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 4, 500)), QByteArray());
    QCOMPARE(hex(port.receive(4, 3000)), QByteArray("01 07 01 00"));
    QVERIFY2(restart.elapsed() >= 950 && restart.elapsed() < 2500,
             qPrintable(QString::number(restart.elapsed())));
    QCOMPARE(port.drain(200), QByteArray());
    QVERIFY(!node->bootMode());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QVERIFY(node->firmwareMarked()); // since start, across the restart
    QCOMPARE(node->requestCount(), 11L);
}

void TestSimNode::objectAborts_data()
{
    QTest::addColumn<bool>("bootMode");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("unknown object")
        << true << upload(1, 0x1000, 0) << abortReply(1, 0x1000, 0, 0x06020000);
    QTest::newRow("unknown object, download")
        << true << download(1, 0x5103, 0, 1) << abortReply(1, 0x5103, 0, 0x06020000);
    QTest::newRow("mode object sub 1")
        << true << upload(1, 0x5101, 1) << abortReply(1, 0x5101, 1, 0x06090011);
    QTest::newRow("command object sub 5")
        << true << download(1, 0x5100, 5, kCommandKey) << abortReply(1, 0x5100, 5, 0x06090011);
    QTest::newRow("command object sub 9")
        << true << download(1, 0x5100, 9, kCommandKey) << abortReply(1, 0x5100, 9, 0x06090011);
    QTest::newRow("block data sub 64")
        << true << upload(1, 0x5102, 64) << abortReply(1, 0x5102, 64, 0x06090011);
    QTest::newRow("segmented download")
        << true << sdo(1, 0x21, 0x5101, 0, le32(4)) << abortReply(1, 0x5101, 0, 0x05040001);
    QTest::newRow("two-byte download")
        << true << sdo(1, 0x2B, 0x5102, 0, le32(4)) << abortReply(1, 0x5102, 0, 0x05040001);
    QTest::newRow("abort request")
        << true << sdo(1, 0x80, 0x5101, 0, le32(0)) << abortReply(1, 0x5101, 0, 0x05040001);
    QTest::newRow("write mode object")
        << true << download(1, 0x5101, 0, 0x626F6F74) << abortReply(1, 0x5101, 0, 0x06010002);
    QTest::newRow("read command object")
        << true << upload(1, 0x5100, 1) << abortReply(1, 0x5100, 1, 0x06010001);
    QTest::newRow("wrong flash key")
        << true << download(1, 0x5100, 8, kCommandKey) << abortReply(1, 0x5100, 8, 0x06090030);
    QTest::newRow("store before flash key")
        << true << download(1, 0x5100, 6, 0x8000) << abortReply(1, 0x5100, 6, 0x08000022);
    QTest::newRow("load below flash")
        << true << download(1, 0x5100, 7, 0x7F00) << abortReply(1, 0x5100, 7, 0x06090030);
    QTest::newRow("load above flash")
        << true << download(1, 0x5100, 7, 0x28000) << abortReply(1, 0x5100, 7, 0x06090030);
    QTest::newRow("load unaligned")
        << true << download(1, 0x5100, 7, 0x8080) << abortReply(1, 0x5100, 7, 0x06090030);
    QTest::newRow("mark with wrong key")
        << true << download(1, 0x5100, 4, kFlashKey) << abortReply(1, 0x5100, 4, 0x06090030);
    QTest::newRow("user mode: block data read")
        << false << upload(1, 0x5102, 0) << abortReply(1, 0x5102, 0, 0x08000022);
    QTest::newRow("user mode: block data write")
        << false << download(1, 0x5102, 63, 7) << abortReply(1, 0x5102, 63, 0x08000022);
    QTest::newRow("user mode: flash key")
        << false << download(1, 0x5100, 8, kFlashKey) << abortReply(1, 0x5100, 8, 0x08000022);
    QTest::newRow("user mode: store")
        << false << download(1, 0x5100, 6, 0x8000) << abortReply(1, 0x5100, 6, 0x08000022);
    QTest::newRow("user mode: load")
        << false << download(1, 0x5100, 7, 0x8000) << abortReply(1, 0x5100, 7, 0x08000022);
}

void TestSimNode::objectAborts()
{
    QFETCH(bool, bootMode);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    nodesim::Options options;
    options.startInBootMode = bootMode;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(request)), hex(reply));
    QCOMPARE(node->bootMode(), bootMode);
    QVERIFY(!node->firmwareMarked());
    // Nothing was stored anywhere.
    QCOMPARE(node->flash(), std::vector<std::uint8_t>(0x20000, 0xFF));
}

void TestSimNode::flashBlocks()
{
    nodesim::Options options;
    options.startInBootMode = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());

    QCOMPARE(hex(port.exchange(download(1, 0x5100, 8, kFlashKey))), hex(confirm(1, 0x5100, 8)));
    const QByteArray first = blockPattern(3);
    const QByteArray last = blockPattern(99);
    writeBlock(port, 0x8100, first);
    writeBlock(port, 0x27F00, last);
    if (QTest::currentTestFailed())
        return;

    // The words land in flash as they were on the line.
    QCOMPARE(hex(flashSlice(*node, 0x100, 256)), hex(first));
    QCOMPARE(hex(flashSlice(*node, 0x1FF00, 256)), hex(last));
    QCOMPARE(flashSlice(*node, 0, 256), QByteArray(256, '\xFF'));
    QCOMPARE(flashSlice(*node, 0x200, 0x1FD00), QByteArray(0x1FD00, '\xFF'));

    // Loading replaces the whole block buffer.
    QCOMPARE(hex(readBlock(port, 0x8000)), hex(QByteArray(256, '\xFF')));
    QCOMPARE(hex(readBlock(port, 0x8100)), hex(first));
    QCOMPARE(hex(readBlock(port, 0x27F00)), hex(last));
    QCOMPARE(hex(port.exchange(upload(1, 0x5102, 0))),
             hex(bytes("81 05 08 43 02 51 00") + last.left(4)));

    // Addresses beyond the last block are refused and store nothing.
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 6, 0x28000))),
             hex(abortReply(1, 0x5100, 6, 0x06090030)));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 6, 0x8001))),
             hex(abortReply(1, 0x5100, 6, 0x06090030)));

    // Contents set from outside are what the node reads.
    std::vector<std::uint8_t> contents(0x20000, 0x5A);
    contents[0x300] = 0x01;
    node->setFlash(contents);
    QCOMPARE(node->flash(), contents);
    const QByteArray block = readBlock(port, 0x8300);
    QCOMPARE(hex(block.left(4)), QByteArray("01 5A 5A 5A"));

    // After the restart into user mode the flash key must be given again.
    port.send(download(1, 0x5100, 3, kCommandKey));
    QTRY_VERIFY_WITH_TIMEOUT(!node->bootMode(), 3000);
    QCOMPARE(hex(port.receive(4, 1000)), QByteArray("01 07 01 00"));
    port.send(download(1, 0x5100, 1, kCommandKey));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))), hex(confirm(1, 0x5100, 2)));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 6, 0x8000))),
             hex(abortReply(1, 0x5100, 6, 0x08000022)));
}

void TestSimNode::flashFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("flash.bin"));
    {
        // A short file is taken as far as it goes and completed erased.
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(10, '\x11'));
    }
    nodesim::Options options;
    options.flashPath = path.toStdString();
    options.startInBootMode = true;
    const QByteArray block = blockPattern(42);
    std::vector<std::uint8_t> before;
    {
        auto node = testsupport::startNode(options);
        QCOMPARE(QFileInfo(path).size(), qint64(0x20000));
        QCOMPARE(flashSlice(*node, 0, 10), QByteArray(10, '\x11'));
        QCOMPARE(flashSlice(*node, 10, 0x20000 - 10), QByteArray(0x20000 - 10, '\xFF'));

        Port port(node->slavePath());
        QCOMPARE(hex(port.exchange(download(1, 0x5100, 8, kFlashKey))), hex(confirm(1, 0x5100, 8)));
        writeBlock(port, 0x27F00, block);
        writeBlock(port, 0x8000, block);
        before = node->flash();
        // Written through at once, not on stop.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(hex(f.readAll().mid(0x1FF00)), hex(block));
    }
    // Like flash, it survives a restart; the file never grows.
    QCOMPARE(QFileInfo(path).size(), qint64(0x20000));
    auto node = testsupport::startNode(options);
    QCOMPARE(node->flash(), before);
    Port port(node->slavePath());
    QCOMPARE(hex(readBlock(port, 0x27F00)), hex(block));

    // setFlash goes to the file too, also before start.
    std::vector<std::uint8_t> contents(0x20000, 0x33);
    node->setFlash(contents);
    node->stop();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray(0x20000, '\x33'));
    f.close();

    NodeSim preset(options);
    preset.setFlash(std::vector<std::uint8_t>(0x20000, 0x44));
    QVERIFY(preset.start());
    QCOMPARE(preset.flash(), std::vector<std::uint8_t>(0x20000, 0x44));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray(0x20000, '\x44'));
}

void TestSimNode::modeSwitchFaults()
{
    // Never boots: step 2 is confirmed all the same, the mode stays 'norm'.
    nodesim::Options options;
    options.rebootDelayMs = 200;
    options.faults.neverBoot = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    port.send(download(1, 0x5100, 1, kCommandKey));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))), hex(confirm(1, 0x5100, 2)));
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QVERIFY(!node->bootMode());

    // Never returns to user mode: restarts into boot mode, still announced.
    nodesim::Faults faults;
    faults.neverUser = true;
    node->setFaults(faults);
    port.send(download(1, 0x5100, 1, kCommandKey));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))), hex(confirm(1, 0x5100, 2)));
    QVERIFY(node->bootMode());
    port.send(download(1, 0x5100, 3, kCommandKey));
    QCOMPARE(hex(port.receive(4, 2000)), QByteArray("01 07 01 00"));
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 74 6F 6F 62"));

    // No boot-up record: the restart happens quietly.
    faults = {};
    faults.noBootUp = true;
    node->setFaults(faults);
    port.send(download(1, 0x5100, 3, kCommandKey));
    QCOMPARE(hex(port.drain(600)), QByteArray());
    QVERIFY(!node->bootMode());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
}

void TestSimNode::corruptFlash()
{
    nodesim::Options options;
    options.startInBootMode = true;
    options.faults.corruptFlashOffset = 0x105;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 8, kFlashKey))), hex(confirm(1, 0x5100, 8)));
    const QByteArray block = blockPattern(5);
    writeBlock(port, 0x8000, block);
    writeBlock(port, 0x8100, block);
    writeBlock(port, 0x8200, block);

    // Only the one byte of the one block is wrong, and it reads back wrong.
    QByteArray expected = block;
    expected[5] = char(~quint8(block[5]));
    QCOMPARE(hex(flashSlice(*node, 0x000, 256)), hex(block));
    QCOMPARE(hex(flashSlice(*node, 0x100, 256)), hex(expected));
    QCOMPARE(hex(flashSlice(*node, 0x200, 256)), hex(block));
    QCOMPARE(hex(readBlock(port, 0x8100)), hex(expected));
}

void TestSimNode::extraReplyToBootStep1()
{
    nodesim::Options options;
    options.faults.extraReplyToBootStep1 = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(bytes("01 06 08 23 00 51 01 E7 51 9C 3A"))),
             QByteArray("81 05 08 60 00 51 01 00 00 00 00"));
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 2, kCommandKey))), hex(confirm(1, 0x5100, 2)));
    QVERIFY(node->bootMode());
    QCOMPARE(port.drain(200), QByteArray());
}

QRIO_TEST_MAIN(TestSimNode)
#include "tst_sim_node.moc"
