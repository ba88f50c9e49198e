// The update log a technician sends to support: every way an update ends
// leaves one file with the header, the very lines of the debug stream and
// the outcome; old logs are rotated; a log that cannot be written changes
// nothing about the update.

#include "updatelog.h"
#include "updaterig.h"

#include <QApplication>
#include <QDir>
#include <QLoggingCategory>

#include <csignal>
#include <sys/resource.h>

namespace {

enum class Scenario { Success, FallsSilentInWrite, Abort, MissingFile };

QString logsFolder()
{
    return UpdateLog::defaultFolder();
}

QStringList logFiles()
{
    return QDir(logsFolder()).entryList({QStringLiteral("update-*.log")}, QDir::Files, QDir::Name);
}

struct ParsedLog
{
    QStringList header; // up to the first empty line
    QStringList body;   // the diagnostic lines
    QStringList tail;   // exchange averages and, last, the outcome
};

ParsedLog readLog(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    ParsedLog log;
    const int headerEnd = lines.indexOf(QString());
    const int tailStart = lines.lastIndexOf(QString());
    if (headerEnd < 0 || tailStart < headerEnd)
        return log;
    log.header = lines.mid(0, headerEnd);
    log.body = lines.mid(headerEnd + 1, tailStart == headerEnd ? 0 : tailStart - headerEnd - 1);
    log.tail = lines.mid(tailStart + 1);
    return log;
}

QString field(const QStringList &header, const QString &name)
{
    for (const QString &line : header) {
        if (line.startsWith(name + QStringLiteral(": ")))
            return line.mid(name.size() + 2);
    }
    return QStringLiteral("<missing>");
}

QString transferLine(const QStringList &tail, const QString &name)
{
    for (const QString &line : tail) {
        if (line.startsWith(name + QStringLiteral(": ")))
            return line.mid(name.size() + 2);
    }
    return QString();
}

} // namespace

Q_DECLARE_METATYPE(Scenario)

class TestUpdateLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyOutcomeIsLogged_data();
    void everyOutcomeIsLogged();
    void newestTwentyAreKept();
    void twoLogsOfTheSameMillisecond();
    void unwritableLogNeverDisturbsTheUpdate_data();
    void unwritableLogNeverDisturbsTheUpdate();
};

void TestUpdateLog::init()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Quorvex"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora(CANBus)"));
    QDir(logsFolder()).removeRecursively();
    QFile::remove(logsFolder());
}

void TestUpdateLog::cleanup()
{
    QLoggingCategory::setFilterRules(QString());
}

void TestUpdateLog::everyOutcomeIsLogged_data()
{
    QTest::addColumn<Scenario>("scenario");
    QTest::addColumn<bool>("debugOn");
    QTest::addColumn<QString>("outcome"); // after "Outcome: ", without the time
    QTest::addColumn<QString>("writeLine");
    QTest::addColumn<QString>("readLine");

    const QString success = QStringLiteral("\"Burning Firmware Successful\" "
                                           "\"Firmware of remote IO has beed updated.\"");
    // 8 blocks: the flash key and 65 exchanges per block; 65 per block back.
    QTest::newRow("success") << Scenario::Success << true << success << "521 SDO exchanges"
                             << "520 SDO exchanges";
    QTest::newRow("success, debug output off")
        << Scenario::Success << false << success << "521 SDO exchanges"
        << "520 SDO exchanges";
    QTest::newRow("node falls silent in the write")
        << Scenario::FallsSilentInWrite << true << "\"Read timeout\" \"Index: 5102, SubIndex:  a\""
        << "not completed" << QString();
    QTest::newRow("abort") << Scenario::Abort << true << "aborted"
                           << "<counted>"
                           << "no SDO exchanges";
    QTest::newRow("missing file, debug output off")
        << Scenario::MissingFile << false << "\"Load hex file error\" \"File does not exist.\""
        << QString() << QString();
}

void TestUpdateLog::everyOutcomeIsLogged()
{
    QFETCH(Scenario, scenario);
    QFETCH(bool, debugOn);
    QFETCH(QString, outcome);
    QFETCH(QString, writeLine);
    QFETCH(QString, readLine);

    if (!debugOn)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    nodesim::Options options;
    options.nodeId = 9;
    if (scenario == Scenario::Abort)
        options.faults.latencyMs = 5; // so that the dialog hands out events
    if (scenario == Scenario::FallsSilentInWrite)
        options.faults.silentAfterRequests = 4 + 1 + 65 * 2 + 10; // 11th word of the 3rd block
    UpdateRig rig(options);
    const QByteArray data = testsupport::randomBytes(256 * 8, 61);
    if (scenario == Scenario::MissingFile)
        rig.chooseFile(rig.dir.filePath(QStringLiteral("gone.hex")));
    else
        rig.chooseFirmware(data, QStringLiteral("io_v2.0.hex"));
    bool pressed = false;
    if (scenario == Scenario::Abort) {
        rig.whileRunning([&](QProgressDialog *d) {
            if (!pressed && d->value() >= 256 * 2) {
                pressed = true;
                QTest::mouseClick(d->findChild<QPushButton *>(), Qt::LeftButton);
            }
        });
    }
    testsupport::DebugCapture capture;
    const QDateTime before = QDateTime::currentDateTime();
    rig.pressUpdate();
    rig.ticker.stop();
    const QStringList debugLines = capture.lines();

    // The update went as it always does.
    QCOMPARE(rig.catcher.boxes.size(), scenario == Scenario::Abort ? 0 : 1);
    rig.checkIdle();

    const QStringList files = logFiles();
    QCOMPARE(files.size(), 1);
    const ParsedLog log = readLog(QDir(logsFolder()).filePath(files[0]));

    // Header.
    QCOMPARE(log.header.value(0), QStringLiteral("Velmora(CANBus) update log"));
    QCOMPARE(field(log.header, "Tool version"), QStringLiteral(QRIO_VERSION));
    const QDateTime started = QDateTime::fromString(field(log.header, "Started").left(23),
                                                    QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    QVERIFY2(started.isValid(), qPrintable(field(log.header, "Started")));
    QVERIFY(qAbs(started.msecsTo(before)) < 2000);
    QCOMPARE(files[0], QStringLiteral("update-%1.log")
                           .arg(started.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-zzz"))));
    QCOMPARE(field(log.header, "COM port"), QStringLiteral("COM%1").arg(rig.node->comNumber()));
    QCOMPARE(field(log.header, "Node ID"), QStringLiteral("9"));
    if (scenario == Scenario::MissingFile) {
        QCOMPARE(field(log.header, "Firmware file"), QStringLiteral("gone.hex"));
        QCOMPARE(field(log.header, "Firmware size"), QStringLiteral("-"));
        QCOMPARE(field(log.header, "Vector checksum word"), QStringLiteral("-"));
    } else {
        const qint64 fileSize = QFileInfo(rig.dir.filePath("io_v2.0.hex")).size();
        QCOMPARE(field(log.header, "Firmware file"),
                 QStringLiteral("io_v2.0.hex (%1 bytes)").arg(fileSize));
        QCOMPARE(field(log.header, "Firmware size"), QStringLiteral("2048 bytes"));
        const QByteArray word = rig.expectedFlash().mid(28, 4);
        QCOMPARE(field(log.header, "Vector checksum word"),
                 QString::asprintf("%02X%02X%02X%02X", quint8(word[3]), quint8(word[2]),
                                   quint8(word[1]), quint8(word[0])));
    }

    // The diagnostic lines are the debug stream's, every one, as they were.
    QCOMPARE(log.body, debugLines);
    if (debugOn)
        QVERIFY(debugLines.size() > 10);
    else
        QVERIFY(log.body.isEmpty());

    // Averages per exchange, then the outcome.
    if (writeLine == QLatin1String("<counted>")) {
        long stores = 0;
        for (const auto &r : rig.node->receivedRecords())
            stores += r[3] == 0x23 && r[6] == 6 && (r[4] | r[5] << 8) == 0x5100;
        writeLine = QStringLiteral("%1 SDO exchanges").arg(1 + 65 * stores);
    }
    QVERIFY2(transferLine(log.tail, "Flash write").startsWith(writeLine),
             qPrintable(log.tail.join('\n')));
    QVERIFY2(transferLine(log.tail, "Read-back").startsWith(readLine),
             qPrintable(log.tail.join('\n')));
    if (writeLine.endsWith(QLatin1String("exchanges")))
        QVERIFY(transferLine(log.tail, "Flash write").contains(QRegExp(" us per exchange$")));
    const QString last = log.tail.value(log.tail.size() - 1);
    QVERIFY2(QRegExp(QRegExp::escape("Outcome: " + outcome) + " after \\d+ ms").exactMatch(last),
             qPrintable(last));
    if (!rig.catcher.boxes.isEmpty()) {
        const auto &box = rig.catcher.boxes[0];
        QVERIFY(last.startsWith(QStringLiteral("Outcome: \"%1\" \"%2\"").arg(box.title, box.text)));
    }
}

void TestUpdateLog::newestTwentyAreKept()
{
    QVERIFY(QDir().mkpath(logsFolder()));
    const QDir dir(logsFolder());
    QStringList old;
    for (int i = 0; i < 25; ++i) {
        old << QStringLiteral("update-2001-02-03_04-05-%1-000.log").arg(i, 2, 10, QLatin1Char('0'));
        QVERIFY(hextest::writeFile(dir.filePath(old.last()), "old\n"));
    }
    QVERIFY(hextest::writeFile(dir.filePath("notes.txt"), "mine\n"));

    UpdateRig rig;
    rig.chooseFile(rig.dir.filePath(QStringLiteral("gone.hex")));
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), 1);

    const QStringList kept = logFiles();
    QCOMPARE(kept.size(), UpdateLog::kKept);
    QCOMPARE(kept.mid(0, 19), old.mid(6)); // the 19 newest old ones ...
    QVERIFY(!old.contains(kept.last()));   // ... and the new one
    QVERIFY(QFile::exists(dir.filePath("notes.txt")));
}

void TestUpdateLog::twoLogsOfTheSameMillisecond()
{
    const QDateTime at = QDateTime::currentDateTime();
    UpdateLog first(logsFolder(), at);
    UpdateLog second(logsFolder(), at);
    QVERIFY(!first.path().isEmpty());
    QVERIFY(!second.path().isEmpty());
    QVERIFY(first.path() != second.path());
    first.finish(false);
    second.finish(true);
    const QStringList files = logFiles();
    QCOMPARE(files.size(), 2);
    // By name, the second comes after the first, so rotation keeps order.
    QCOMPARE(QDir(logsFolder()).filePath(files[0]), first.path());
    QCOMPARE(QDir(logsFolder()).filePath(files[1]), second.path());
    QVERIFY(readLog(second.path()).tail.last().startsWith("Outcome: aborted after "));
}

void TestUpdateLog::unwritableLogNeverDisturbsTheUpdate_data()
{
    QTest::addColumn<bool>("diskFull");
    // A plain file where the folder should be: even root cannot write there.
    QTest::newRow("logs folder cannot be made") << false;
    // The process may write no more than a few hundred bytes to any file.
    QTest::newRow("disk full") << true;
}

void TestUpdateLog::unwritableLogNeverDisturbsTheUpdate()
{
    QFETCH(bool, diskFull);
    UpdateRig rig;
    rig.chooseFirmware(testsupport::randomBytes(256 * 4, 62));
    QVERIFY(QDir().mkpath(QFileInfo(logsFolder()).path()));
    rlimit saved{};
    if (diskFull) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 300;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    } else {
        QVERIFY(hextest::writeFile(logsFolder(), "not a folder\n"));
    }
    rig.pressUpdate();
    if (diskFull)
        setrlimit(RLIMIT_FSIZE, &saved);

    QCOMPARE(rig.catcher.boxes.size(), 1);
    checkBox(rig.catcher.boxes[0], QMessageBox::Information, "Burning Firmware Successful",
             "Firmware of remote IO has beed updated.", rig.window.get());
    rig.checkFlash();
    rig.checkIdle();
    if (diskFull) {
        const QStringList files = logFiles();
        QCOMPARE(files.size(), 1);
        QVERIFY(QFileInfo(QDir(logsFolder()).filePath(files[0])).size() <= 300);
    } else {
        QVERIFY(QFileInfo(logsFolder()).isFile());
    }
}

QRIO_TEST_MAIN(TestUpdateLog)
#include "tst_updatelog.moc"
