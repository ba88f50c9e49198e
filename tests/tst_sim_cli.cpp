// The canopen-node-sim program (sim/main.cpp) run as a process: its command
// line, the port it prints and registers, the signals that end it.

#include "tests/common/simclient.h"
#include "tests/common/testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace simclient;

class TestSimCli : public QObject
{
    Q_OBJECT

private slots:
    void program();
    void programArguments_data();
    void programArguments();
};

void TestSimCli::program()
{
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    const QString dosDir = config.path() + QStringLiteral("/" QRIO_COMPANY "/dosdevices");
    const QString flashPath = config.filePath(QStringLiteral("flash.bin"));

    // A given number, node, boot mode and flash file.
    QProcess sim;
    sim.setProcessEnvironment(env);
    sim.start(QStringLiteral(NODESIM_EXE),
              {QStringLiteral("--com"), QStringLiteral("57"), QStringLiteral("--node"),
               QStringLiteral("5"), QStringLiteral("--boot"), QStringLiteral("--flash"),
               flashPath});
    QVERIFY(sim.waitForStarted());
    const QString line = firstLine(sim);
    const auto m = QRegularExpression(QStringLiteral("^COM57 (/dev/pts/\\d+)\n$")).match(line);
    QVERIFY2(m.hasMatch(), qPrintable(line));
    QCOMPARE(linkTarget(dosDir + QStringLiteral("/COM57")), m.captured(1));
    QCOMPARE(QFileInfo(flashPath).size(), qint64(0x20000));
    {
        Port port(m.captured(1).toStdString());
        QCOMPARE(hex(port.exchange(upload(5, 0x5101, 0))),
                 QByteArray("85 05 08 43 01 51 00 74 6F 6F 62"));
    }
    sim.terminate(); // SIGTERM
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(dosDir + QStringLiteral("/COM57")).isSymLink());

    // The first free number by default; SIGHUP and SIGINT end it as well.
    for (int signal : {SIGHUP, SIGINT}) {
        QProcess autoSim;
        autoSim.setProcessEnvironment(env);
        autoSim.start(QStringLiteral(NODESIM_EXE),
                      {QStringLiteral("--reboot-delay"), QStringLiteral("100")});
        QVERIFY(autoSim.waitForStarted());
        const QString autoLine = firstLine(autoSim);
        QVERIFY2(autoLine.startsWith(QStringLiteral("COM50 /dev/pts/")), qPrintable(autoLine));
        QVERIFY(QFileInfo(dosDir + QStringLiteral("/COM50")).isSymLink());
        ::kill(pid_t(autoSim.processId()), signal);
        QVERIFY(autoSim.waitForFinished(5000));
        QCOMPARE(autoSim.exitCode(), 0);
        QVERIFY(!QFileInfo(dosDir + QStringLiteral("/COM50")).isSymLink());
    }

    // The line model from the command line: 220 bits at 1200 baud, 270 at
    // 10 kbit/s and 5 ms are 215.3 ms an exchange.
    {
        QProcess slowSim;
        slowSim.setProcessEnvironment(env);
        slowSim.start(QStringLiteral(NODESIM_EXE),
                      {QStringLiteral("--baud"), QStringLiteral("1200"),
                       QStringLiteral("--can-bitrate"), QStringLiteral("10000"),
                       QStringLiteral("--adapter-latency"), QStringLiteral("5")});
        QVERIFY(slowSim.waitForStarted());
        const auto slow = QRegularExpression(QStringLiteral("^COM\\d+ (/dev/pts/\\d+)\n$"))
                              .match(firstLine(slowSim));
        QVERIFY(slow.hasMatch());
        Port port(slow.captured(1).toStdString());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(hex(port.exchange(upload(1, 0x5101, 0))),
                 QByteArray("81 05 08 43 01 51 00 6D 72 6F 6E"));
        QVERIFY2(timer.elapsed() >= 215, qPrintable(QString::number(timer.elapsed())));
        slowSim.terminate();
        QVERIFY(slowSim.waitForFinished(5000));
    }

    // A number already taken: an error, nothing printed.
    auto holder = startIn(dosDir, [] {
        nodesim::Options o;
        o.com = 58;
        return o;
    }());
    QProcess clash;
    clash.setProcessEnvironment(env);
    clash.start(QStringLiteral(NODESIM_EXE), {QStringLiteral("--com"), QStringLiteral("58")});
    QVERIFY(clash.waitForFinished(5000));
    QCOMPARE(clash.exitCode(), 1);
    QVERIFY(clash.readAllStandardOutput().isEmpty());
    QVERIFY(clash.readAllStandardError().contains("COM58"));
}

void TestSimCli::programArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate")};
    QTest::newRow("missing value") << QStringList{QStringLiteral("--node")};
    QTest::newRow("node 0") << QStringList{QStringLiteral("--node"), QStringLiteral("0")};
    QTest::newRow("node 128") << QStringList{QStringLiteral("--node"), QStringLiteral("128")};
    QTest::newRow("node text") << QStringList{QStringLiteral("--node"), QStringLiteral("one")};
    QTest::newRow("com word") << QStringList{QStringLiteral("--com"), QStringLiteral("next")};
    QTest::newRow("com 0") << QStringList{QStringLiteral("--com"), QStringLiteral("0")};
    QTest::newRow("split without delay")
        << QStringList{QStringLiteral("--split"), QStringLiteral("2")};
    QTest::newRow("split zero pieces")
        << QStringList{QStringLiteral("--split"), QStringLiteral("0:10")};
    QTest::newRow("negative latency")
        << QStringList{QStringLiteral("--latency"), QStringLiteral("-1")};
    QTest::newRow("corrupt beyond flash")
        << QStringList{QStringLiteral("--corrupt"), QStringLiteral("131072")};
    QTest::newRow("baud 0") << QStringList{QStringLiteral("--baud"), QStringLiteral("0")};
    QTest::newRow("CAN bit rate as text")
        << QStringList{QStringLiteral("--can-bitrate"), QStringLiteral("500k")};
    QTest::newRow("negative adapter latency")
        << QStringList{QStringLiteral("--adapter-latency"), QStringLiteral("-1")};
    QTest::newRow("silent-after trailing text")
        << QStringList{QStringLiteral("--silent-after"), QStringLiteral("3x")};
    QTest::newRow("help") << QStringList{QStringLiteral("--help")};
}

void TestSimCli::programArguments()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir config;
    QProcess sim;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    sim.setProcessEnvironment(env);
    sim.start(QStringLiteral(NODESIM_EXE), arguments);
    QVERIFY(sim.waitForFinished(5000));
    const QByteArray out = sim.readAllStandardOutput();
    const QByteArray err = sim.readAllStandardError();
    if (arguments.first() == QStringLiteral("--help")) {
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(out.startsWith("Usage: canopen-node-sim"));
        QVERIFY(out.contains("--extra-boot-reply"));
        return;
    }
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(out.isEmpty());
    QVERIFY2(err.contains("Usage: canopen-node-sim"), err.constData());
    QVERIFY(!QDir(config.path() + QStringLiteral("/" QRIO_COMPANY "/dosdevices")).exists()
            || QDir(config.path() + QStringLiteral("/" QRIO_COMPANY "/dosdevices")).isEmpty());
}

QRIO_TEST_MAIN(TestSimCli)
#include "tst_sim_cli.moc"
