// The simulated adapter (sim/adapter, lineswitches, linemodel, recordlog,
// registration), seen from a client on its pseudo-terminal: malformed input,
// clients coming and going and the hang-up, the line's fault switches and
// line model, the record log, and the port's registration as a COM number.

#include "tests/common/simclient.h"
#include "tests/common/testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace simclient;
using nodesim::NodeSim;

class TestSimAdapter : public QObject
{
    Q_OBJECT

private slots:
    void malformedInput();
    void clientSessionsAndHangUp();
    void silence();
    void splitAndLatency();
    void strayByte();
    void lineModel_data();
    void lineModel();
    void logging();
    void registration();
};

void TestSimAdapter::malformedInput()
{
    auto node = testsupport::startNode();
    Port port(node->slavePath());
    const QByteArray modeRead = upload(1, 0x5101, 0);
    const QByteArray userReply = bytes("81 05 08 43 01 51 00 6D 72 6F 6E");

    // A length byte over 8: skipped byte by byte, the torn rest dropped after
    // a pause, and the node is back in step.
    port.send(bytes("01 06 09 AA BB"));
    QCOMPARE(port.drain(300), QByteArray());
    QCOMPARE(hex(port.exchange(modeRead)), hex(userReply));
    QCOMPARE(int(node->receivedRecords().size()), 1);
    QCOMPARE(hex(node->receivedRecords()[0]), hex(modeRead));
    int droppedBytes = 0;
    for (const auto &e : node->log())
        droppedBytes += e.dropped ? int(e.bytes.size()) : 0;
    QCOMPARE(droppedBytes, 5);

    // Other nodes' frames are logged but not answered or counted; nor is a
    // short frame with our identifier.
    node->clearLog();
    port.send(upload(2, 0x5101, 0));
    port.send(bytes("81 05 08 43 01 51 00 6D 72 6F 6E")); // another node's reply
    port.send(bytes("00 00 02 01 01"));                   // network management
    port.send(bytes("01 07 01 00"));                      // a boot-up frame
    port.send(bytes("01 06 04 40 01 51 00"));             // too short for SDO
    QCOMPARE(port.drain(300), QByteArray());
    QCOMPARE(int(node->receivedRecords().size()), 5);
    QCOMPARE(node->requestCount(), 2L);
    QCOMPARE(hex(port.exchange(modeRead)), hex(userReply));

    // Random garbage: whatever it makes of it, the node stays alive and
    // answers properly once the line has been quiet.
    QRandomGenerator random(12345);
    for (int chunk = 0; chunk < 64; ++chunk) {
        QByteArray junk(1024, '\0');
        for (char &c : junk)
            c = char(random.generate() & 0xFF);
        QVERIFY(port.send(junk));
        port.receive(1 << 16, 0);
    }
    port.drain(300);
    QCOMPARE(hex(port.exchange(modeRead)), hex(userReply));
}

void TestSimAdapter::clientSessionsAndHangUp()
{
    auto node = testsupport::startNode();
    const QByteArray reply = bytes("81 05 08 43 01 51 00 6D 72 6F 6E");
    // Clients come and go; the port serves each of them.
    for (int session = 0; session < 3; ++session) {
        Port port(node->slavePath());
        QVERIFY(port.fd >= 0);
        QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))), hex(reply));
    }

    // A hang-up ends the client's wait at once.
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))), hex(reply));
    node->hangUp();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 4000)), QByteArray());
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(port.hungUp);
    node->hangUp(); // twice is harmless
    node->stop();
    node->stop();
}

void TestSimAdapter::silence()
{
    // Silent from the start, then talking again.
    nodesim::Options options;
    options.faults.silent = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 300)), QByteArray());
    QCOMPARE(node->requestCount(), 1L);
    node->setFaults({});
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));

    // Silent after three more requests, counted from when the switch is set.
    nodesim::Faults faults;
    faults.silentAfterRequests = 3;
    node->setFaults(faults);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(port.exchange(upload(1, 0x5101, 0)).size(), 11);
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 300)), QByteArray());
    QCOMPARE(hex(port.exchange(download(1, 0x5100, 4, kCommandKey), 11, 300)), QByteArray());
    QCOMPARE(node->requestCount(), 7L);

    // A silent node ignores commands too, and sends no boot-up record.
    faults.silentAfterRequests = 0;
    faults.silent = true;
    node->setFaults(faults);
    port.send(download(1, 0x5100, 3, kCommandKey));
    QCOMPARE(port.drain(1300), QByteArray());
    QCOMPARE(node->faults().silentAfterRequests, 0L);
}

void TestSimAdapter::splitAndLatency()
{
    nodesim::Options options;
    options.faults.splitPieces = 2;
    options.faults.splitDelayMs = 400;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());

    // 5 bytes at once, the other 6 after the pause.
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 200)), QByteArray("81 05 08 43 01"));
    QCOMPARE(hex(port.receive(6, 2000)), QByteArray("51 00 6D 72 6F 6E"));
    QVERIFY2(timer.elapsed() >= 390, qPrintable(QString::number(timer.elapsed())));
    auto log = node->log();
    QCOMPARE(int(log.size()), 3);
    QCOMPARE(log[1].piece, 1);
    QCOMPARE(log[2].piece, 2);
    QCOMPARE(int(log[1].bytes.size()), 5);
    QVERIFY(log[2].time - log[1].time >= std::chrono::milliseconds(390));

    // Three pieces without pause: 3, 4, 4 bytes, the reply whole.
    nodesim::Faults faults;
    faults.splitPieces = 3;
    node->setFaults(faults);
    node->clearLog();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    log = node->log();
    QCOMPARE(int(log.size()), 4);
    QCOMPARE(hex(log[1].bytes), QByteArray("81 05 08"));
    QCOMPARE(hex(log[2].bytes), QByteArray("43 01 51 00"));
    QCOMPARE(hex(log[3].bytes), QByteArray("6D 72 6F 6E"));
    QCOMPARE(log[3].piece, 3);

    // A fixed latency before each reply.
    faults = {};
    faults.latencyMs = 400;
    node->setFaults(faults);
    timer.restart();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 11, 250)), QByteArray());
    QCOMPARE(hex(port.receive(11, 2000)), QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QVERIFY2(timer.elapsed() >= 390, qPrintable(QString::number(timer.elapsed())));
}

void TestSimAdapter::strayByte()
{
    auto node = testsupport::startNode();
    Port port(node->slavePath());
    nodesim::Faults faults;
    faults.strayByte = true;
    node->setFaults(faults);
    QVERIFY(node->faults().strayByte);

    // One 0x00 ahead of the next reply, only once.
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 12)),
             QByteArray("00 81 05 08 43 01 51 00 6D 72 6F 6E"));
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0), 12, 300)),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    QVERIFY(!node->faults().strayByte);
    const auto log = node->log();
    QCOMPARE(int(log.size()), 5);
    QCOMPARE(hex(log[1].bytes), QByteArray("00"));
    QCOMPARE(log[1].direction, nodesim::Direction::Sent);
}

void TestSimAdapter::lineModel_data()
{
    QTest::addColumn<long>("baud");
    QTest::addColumn<long>("canBitrate");
    QTest::addColumn<int>("adapterLatencyMs");
    // One SDO exchange: an 11-byte record each way on the serial line at 10
    // bits a byte; a CAN frame each way of 47 + 8 * 8 data bits + at most 24
    // stuff bits = 135 bits; the adapter's latency once, on the reply.
    QTest::addColumn<qint64>("exchangeNs");
    QTest::newRow("off by default") << 0L << 0L << 0 << qint64(0);
    // 220 bits / 115200 bit/s
    QTest::newRow("115200 baud") << 115200L << 0L << 0 << qint64(1909722);
    // 270 bits / 500 kbit/s, and / 125 kbit/s
    QTest::newRow("CAN 500 kbit/s") << 0L << 500000L << 0 << qint64(540000);
    QTest::newRow("CAN 125 kbit/s") << 0L << 125000L << 0 << qint64(2160000);
    QTest::newRow("adapter latency 16 ms") << 0L << 0L << 16 << qint64(16000000);
    QTest::newRow("115200 baud, CAN 125 kbit/s, 1 ms")
        << 115200L << 125000L << 1 << qint64(1909722 + 2160000 + 1000000);
    // 220 bits / 921600 bit/s + 270 bits / 1 Mbit/s
    QTest::newRow("921600 baud, CAN 1 Mbit/s")
        << 921600L << 1000000L << 0 << qint64(238715 + 270000);
}

void TestSimAdapter::lineModel()
{
    QFETCH(long, baud);
    QFETCH(long, canBitrate);
    QFETCH(int, adapterLatencyMs);
    QFETCH(qint64, exchangeNs);
    nodesim::Options options;
    if (exchangeNs > 0)
        options.line = {baud, canBitrate, adapterLatencyMs};
    // The model's arithmetic (to the microsecond: it rounds each part to
    // the nanosecond) ...
    const std::size_t record = 11;
    const qint64 modelled =
        (nodesim::toNode(options.line, record) + nodesim::fromNode(options.line, record)).count();
    QVERIFY2(qAbs(modelled - exchangeNs) < 1000, qPrintable(QString::number(modelled)));

    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
             QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
    // ... and the reply never comes before its time ...
    QVERIFY2(timer.nsecsElapsed() >= exchangeNs, qPrintable(QString::number(timer.nsecsElapsed())));
    const auto log = node->log();
    QCOMPARE(int(log.size()), 2);
    const qint64 held = std::chrono::nanoseconds(log[1].time - log[0].time).count();
    if (exchangeNs == 0) {
        // ... and with the model off it goes out in the same instant the
        // request was taken.
        QCOMPARE(held, qint64(0));
    } else {
        QVERIFY2(held >= exchangeNs && held < exchangeNs + 100000000,
                 qPrintable(QString::number(held)));
    }
}

void TestSimAdapter::logging()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("node.log"));
    nodesim::Options options;
    options.logPath = path.toStdString();
    options.startInBootMode = true;
    auto node = testsupport::startNode(options);
    Port port(node->slavePath());
    QCOMPARE(port.exchange(upload(1, 0x5101, 0)).size(), 11);
    QCOMPARE(port.exchange(download(1, 0x5102, 3, 0x04030201)).size(), 11);
    port.send(upload(9, 0x5101, 0));
    QCOMPARE(port.drain(200), QByteArray());

    // In memory: every record both ways, in order.
    const auto log = node->log();
    QCOMPARE(int(log.size()), 5);
    for (std::size_t i = 1; i < log.size(); ++i)
        QVERIFY(log[i - 1].time <= log[i].time);
    QCOMPARE(hex(log[3].bytes), QByteArray("81 05 08 60 02 51 03 00 00 00 00"));
    const auto records = node->receivedRecords();
    QCOMPARE(int(records.size()), 3);
    QCOMPARE(hex(records[1]), QByteArray("01 06 08 23 02 51 03 01 02 03 04"));
    QCOMPARE(hex(records[2]), hex(upload(9, 0x5101, 0)));

    // In the file: one text line per record, appended across runs.
    node->stop();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines =
        QString::fromLatin1(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    const QRegularExpression form(QStringLiteral("^(\\d+)\\.(\\d{6}) (RX|TX)((?: [0-9A-F]{2})+)$"));
    const char *directions[] = {"RX", "TX", "RX", "TX", "RX"};
    for (int i = 0; i < lines.size(); ++i) {
        const auto m = form.match(lines[i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(m.captured(3), QString::fromLatin1(directions[i]));
        QCOMPARE(m.captured(4).trimmed().toLatin1(), hex(log[std::size_t(i)].bytes));
    }
    f.close();
    auto again = testsupport::startNode(options);
    Port port2(again->slavePath());
    QCOMPARE(port2.exchange(upload(1, 0x5101, 0)).size(), 11);
    again->stop();
    QVERIFY(f.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(f.readAll().count('\n'), 7);
}

void TestSimAdapter::registration()
{
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("a/b/dosdevices")); // made as needed
    nodesim::Options options;
    options.com = 0;

    // The lowest free numbers from 50 up, as links to the slave.
    auto first = startIn(dir, options);
    auto second = startIn(dir, options);
    QCOMPARE(first->comNumber(), 50);
    QCOMPARE(second->comNumber(), 51);
    QCOMPARE(QString::fromStdString(first->linkPath()), dir + QStringLiteral("/COM50"));
    QCOMPARE(linkTarget(dir + QStringLiteral("/COM50")),
             QString::fromStdString(first->slavePath()));
    QCOMPARE(linkTarget(dir + QStringLiteral("/COM51")),
             QString::fromStdString(second->slavePath()));

    // A number in use (in any spelling) is refused; a dead link is replaced.
    nodesim::Options o = options;
    o.com = 51;
    o.dosDevicesDir = dir.toStdString();
    NodeSim clash(o);
    QVERIFY(!clash.start());
    QVERIFY(QString::fromStdString(clash.error()).contains(QStringLiteral("COM51")));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/pts/99"), dir + QStringLiteral("/com52")));
    QVERIFY(
        QFile::link(QString::fromStdString(first->slavePath()), dir + QStringLiteral("/com053")));
    options.com = 0;
    auto third = startIn(dir, options);
    QCOMPARE(third->comNumber(), 52);
    QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/com52"))
            && !QFileInfo(dir + QStringLiteral("/com52")).isSymLink());
    auto fourth = startIn(dir, options);
    QCOMPARE(fourth->comNumber(), 54);
    o.com = 53;
    NodeSim clash53(o);
    QVERIFY(!clash53.start());

    // Stopping removes the link; without a number nothing is registered.
    first->stop();
    QVERIFY(!QFileInfo(dir + QStringLiteral("/COM50")).isSymLink());
    QCOMPARE(first->comNumber(), -1);
    QVERIFY(QFileInfo(dir + QStringLiteral("/COM51")).isSymLink());
    second.reset();
    QVERIFY(!QFileInfo(dir + QStringLiteral("/COM51")).isSymLink());

    nodesim::Options none;
    none.dosDevicesDir = dir.toStdString();
    NodeSim unregistered(none);
    QVERIFY(unregistered.start());
    QCOMPARE(unregistered.comNumber(), -1);
    QVERIFY(unregistered.linkPath().empty());

    // The default folder follows XDG_CONFIG_HOME.
    nodesim::Options plain;
    plain.com = 0;
    NodeSim defaulted(plain);
    QVERIFY(defaulted.start());
    QCOMPARE(QFileInfo(QString::fromStdString(defaulted.linkPath())).absolutePath(),
             testsupport::dosDevicesDir());
    QVERIFY(QFileInfo(QString::fromStdString(defaulted.linkPath())).isSymLink());

    // Bad node IDs are refused.
    nodesim::Options badNode;
    badNode.nodeId = 128;
    NodeSim bad(badNode);
    QVERIFY(!bad.start());
    QVERIFY(!bad.error().empty());
}

QRIO_TEST_MAIN(TestSimAdapter)
#include "tst_sim_adapter.moc"
