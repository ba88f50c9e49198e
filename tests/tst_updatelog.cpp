// The update log a technician sends to support: every way an update ends
// leaves one file with the header, the very lines of the message stream, the
// stages reached and the outcome; a tool killed in the middle of the flash
// write leaves its header and the last stage reached; a log that cannot be
// written changes nothing about the update. Its pieces on their own: the
// file keeps the newest logs and never overwrites one; the text says each
// way an update ends.

#include "app/logfile.h"
#include "app/logtext.h"
#include "app/updatelog.h"
#include "tests/common/updaterig.h"

#include <QApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QProcess>

#include <csignal>
#include <sys/resource.h>

namespace {

enum class Scenario { Success, FallsSilentInWrite, Abort, MissingFile, SerialReport };

const QString kStage = QStringLiteral("Stage: ");

// The argument that makes this program the tool killedInTheFlashWrite kills.
const char kToolArgument[] = "--update-tool";

// The lines of every level on the message stream while it lives (the log
// takes the serial layer's info lines too), and how many were debug lines.
struct StreamLines
{
    QStringList lines;
    int debugLines = 0;
};
StreamLines *g_stream = nullptr;
class StreamCapture
{
public:
    StreamCapture()
    {
        g_stream = &m_stream;
        m_previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &, const QString &message) {
                if (!g_stream)
                    return;
                g_stream->lines.append(message);
                g_stream->debugLines += type == QtDebugMsg;
            });
    }
    ~StreamCapture()
    {
        qInstallMessageHandler(m_previous);
        g_stream = nullptr;
    }
    StreamLines stream() const { return m_stream; }

private:
    StreamLines m_stream;
    QtMessageHandler m_previous;
};

QStringList withPrefix(const QStringList &lines, const QString &prefix, bool with)
{
    QStringList out;
    for (const QString &line : lines) {
        if (line.startsWith(prefix) == with)
            out << line;
    }
    return out;
}

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
    void killedInTheFlashWrite_data();
    void killedInTheFlashWrite();
    void newestTwentyAreKept();
    void twoLogsOfTheSameMillisecond();
    void outcomeLine_data();
    void outcomeLine();
    void unwritableLogNeverDisturbsTheUpdate_data();
    void unwritableLogNeverDisturbsTheUpdate();
};

void TestUpdateLog::init()
{
    QCoreApplication::setOrganizationName(QStringLiteral(QRIO_COMPANY));
    QCoreApplication::setApplicationName(QStringLiteral(QRIO_APP_NAME));
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
    QTest::addColumn<QStringList>("stages"); // "<counted>": up to the write's end, counted

    const QStringList allStages = {
        "Stage: firmware loaded",
        "Stage: boot mode entered",
        "Stage: flash write done (8 of 8 blocks)",
        "Stage: read-back done (8 of 8 blocks)",
        "Stage: compare: equal",
        "Stage: firmware mark written",
        "Stage: user mode entered",
    };
    const QString success = QStringLiteral("\"Burning Firmware Successful\" "
                                           "\"Firmware of remote IO has beed updated.\"");
    // 8 blocks: the flash key and 65 exchanges per block; 65 per block back.
    QTest::newRow("success") << Scenario::Success << true << success << "521 SDO exchanges"
                             << "520 SDO exchanges" << allStages;
    QTest::newRow("success, debug output off")
        << Scenario::Success << false << success << "521 SDO exchanges"
        << "520 SDO exchanges" << allStages;
    QTest::newRow("node falls silent in the write")
        << Scenario::FallsSilentInWrite << true << "\"Read timeout\" \"Index: 5102, SubIndex:  a\""
        << "not completed" << QString() << QStringList(allStages.mid(0, 2));
    QTest::newRow("abort") << Scenario::Abort << true << "aborted"
                           << "<counted>"
                           << "no SDO exchanges" << QStringList{"<counted>"};
    QTest::newRow("missing file, debug output off")
        << Scenario::MissingFile << false << "\"Load hex file error\" \"File does not exist.\""
        << QString() << QString() << QStringList();
    // The serial layer reports a failed read with the system's reason on the
    // info stream, which stays on with debug output off.
    QTest::newRow("serial layer's report, debug output off")
        << Scenario::SerialReport << false << success << "521 SDO exchanges"
        << "520 SDO exchanges" << allStages;
}

void TestUpdateLog::everyOutcomeIsLogged()
{
    QFETCH(Scenario, scenario);
    QFETCH(bool, debugOn);
    QFETCH(QString, outcome);
    QFETCH(QString, writeLine);
    QFETCH(QString, readLine);
    QFETCH(QStringList, stages);

    if (!debugOn)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    nodesim::Options options;
    options.nodeId = 9;
    if (scenario == Scenario::Abort || scenario == Scenario::SerialReport)
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
    const std::string report = "Serial read failed after 3 of 11 bytes: error 5 (I/O error)";
    if (scenario == Scenario::SerialReport) {
        rig.whileRunning([&](QProgressDialog *d) {
            if (!pressed && d->value() >= 256 * 2) {
                pressed = true;
                SerialLine::report(report);
            }
        });
    }
    if (scenario == Scenario::Abort) {
        rig.whileRunning([&](QProgressDialog *d) {
            if (!pressed && d->value() >= 256 * 2) {
                pressed = true;
                QTest::mouseClick(d->findChild<QPushButton *>(), Qt::LeftButton);
            }
        });
    }
    StreamCapture capture;
    const QDateTime before = QDateTime::currentDateTime();
    rig.pressUpdate();
    rig.ticker.stop();
    const StreamLines stream = capture.stream();

    // The update went as it always does.
    QCOMPARE(rig.catcher.boxes.size(), scenario == Scenario::Abort ? 0 : 1);
    rig.checkIdle();

    const QStringList files = logFiles();
    QCOMPARE(files.size(), 1);
    const ParsedLog log = readLog(QDir(logsFolder()).filePath(files[0]));

    // Header.
    QCOMPARE(log.header.value(0), QStringLiteral(QRIO_APP_NAME " update log"));
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

    // The diagnostic lines are the message stream's, every one, as they
    // were; among them, the stages the update reached.
    QCOMPARE(withPrefix(log.body, kStage, false), stream.lines);
    if (debugOn)
        QVERIFY(stream.debugLines > 10);
    else
        QCOMPARE(stream.debugLines, 0);
    if (scenario == Scenario::SerialReport)
        QVERIFY(stream.lines.contains(QString::fromStdString(report)));
    if (stages == QStringList{"<counted>"}) {
        long stores = 0;
        for (const auto &r : rig.node->receivedRecords())
            stores += r[3] == 0x23 && r[6] == 6 && (r[4] | r[5] << 8) == 0x5100;
        stages = QStringList{"Stage: firmware loaded", "Stage: boot mode entered",
                             QStringLiteral("Stage: flash write done (%1 of 8 blocks)").arg(stores),
                             "Stage: read-back done (0 of 8 blocks)"};
    }
    QCOMPARE(withPrefix(log.body, kStage, true), stages);

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

void TestUpdateLog::killedInTheFlashWrite_data()
{
    QTest::addColumn<bool>("debugOn");
    QTest::newRow("debug output on") << true;
    QTest::newRow("debug output off") << false;
}

void TestUpdateLog::killedInTheFlashWrite()
{
    QFETCH(bool, debugOn);
    // 64 blocks at 2 ms per reply: the write takes some 10 s.
    nodesim::Options options;
    options.nodeId = 9;
    options.faults.latencyMs = 2;
    const auto node = testsupport::startNode(options);
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("io_v3.1.hex"));
    QVERIFY(hextest::writeFile(
        hexPath, hextest::hexFile(testsupport::randomBytes(256 * 64, 63), 0x8000, "\r\n")));

    // The window in a process of its own (this program, started again), as
    // a user runs it; it shares this process's settings, ports and logs.
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (debugOn)
        env.remove(QStringLiteral("QT_LOGGING_RULES"));
    else
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    tool.setProcessEnvironment(env);
    tool.setStandardOutputFile(QProcess::nullDevice());
    tool.setStandardErrorFile(QProcess::nullDevice());
    tool.start(QCoreApplication::applicationFilePath(),
               {QLatin1String(kToolArgument), QString::number(node->comNumber()), hexPath,
                QString::number(options.nodeId)});
    QVERIFY(tool.waitForStarted());

    // Boot mode (4 requests), the flash key and two whole blocks, then a
    // second and a half more of the write: past the once-a-second write-out.
    QTRY_VERIFY_WITH_TIMEOUT(node->requestCount() >= 4 + 1 + 65 * 2, 30000);
    QTest::qWait(1500);
    QVERIFY2(node->requestCount() < 4 + 1 + 65 * 64, "the write ended before the kill");
    QCOMPARE(::kill(pid_t(tool.processId()), SIGKILL), 0);
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitStatus(), QProcess::CrashExit);
    const long exchanges = node->requestCount() - 4;

    const QStringList files = logFiles();
    QCOMPARE(files.size(), 1);
    QFile file(QDir(logsFolder()).filePath(files[0]));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QString killed =
        QStringLiteral("killed after %1 exchanges: %2 bytes").arg(exchanges).arg(bytes.size());
    QVERIFY2(bytes.endsWith('\n'), qPrintable(killed + QStringLiteral(", not ending a line")));
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    lines.removeLast();
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }

    // The header, whole.
    const int headerEnd = lines.indexOf(QString());
    QVERIFY2(headerEnd > 0, qPrintable(killed));
    const QStringList header = lines.mid(0, headerEnd);
    QCOMPARE(header.value(0), QStringLiteral(QRIO_APP_NAME " update log"));
    QCOMPARE(field(header, "COM port"), QStringLiteral("COM%1").arg(node->comNumber()));
    QCOMPARE(field(header, "Node ID"), QStringLiteral("9"));
    QCOMPARE(field(header, "Firmware file"),
             QStringLiteral("io_v3.1.hex (%1 bytes)").arg(QFileInfo(hexPath).size()));
    QCOMPARE(field(header, "Firmware size"), QStringLiteral("16384 bytes"));

    // The last stage reached, and no outcome.
    const QStringList body = lines.mid(headerEnd + 1);
    const QStringList stages = withPrefix(body, kStage, true);
    QCOMPARE(stages.value(stages.size() - 1), QStringLiteral("Stage: boot mode entered"));
    QVERIFY(withPrefix(body, QStringLiteral("Outcome: "), true).isEmpty());
    // With debug output on, the write's lines up to a second or so before
    // the kill: at least one block's line.
    if (debugOn)
        QVERIFY2(!withPrefix(body, QStringLiteral("Write flash: "), true).isEmpty(),
                 qPrintable(body.join('\n')));
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

    LogFile file(logsFolder(), QDateTime::currentDateTime(), {"header", QByteArray()});
    QVERIFY(file.isOn());
    file.close();

    const QStringList kept = logFiles();
    QCOMPARE(kept.size(), LogFile::kKept);
    QCOMPARE(kept.mid(0, 19), old.mid(6)); // the 19 newest old ones ...
    QVERIFY(!old.contains(kept.last()));   // ... and the new one
    QVERIFY(QFile::exists(dir.filePath("notes.txt")));
}

void TestUpdateLog::twoLogsOfTheSameMillisecond()
{
    const QDateTime at = QDateTime::currentDateTime();
    LogFile first(logsFolder(), at, {"first"});
    LogFile second(logsFolder(), at, {"second"});
    QVERIFY(!first.path().isEmpty());
    QVERIFY(!second.path().isEmpty());
    QVERIFY(first.path() != second.path());
    first.close();
    second.close();
    const QStringList files = logFiles();
    QCOMPARE(files.size(), 2);
    // By name, the second comes after the first, so rotation keeps order.
    QCOMPARE(QDir(logsFolder()).filePath(files[0]), first.path());
    QCOMPARE(QDir(logsFolder()).filePath(files[1]), second.path());
    QFile file(second.path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().trimmed(), QByteArray("second"));
}

void TestUpdateLog::outcomeLine_data()
{
    QTest::addColumn<bool>("boxSeen");
    QTest::addColumn<bool>("aborted");
    QTest::addColumn<QString>("line");
    QTest::newRow("a box, even after an Abort")
        << true << true << "Outcome: \"Read timeout\" \"Index: 5102, SubIndex:  a\" after 70 ms";
    QTest::newRow("aborted") << false << true << "Outcome: aborted after 90 ms";
    QTest::newRow("no box, no abort")
        << false << false << "Outcome: ended without a message after 90 ms";
}

void TestUpdateLog::outcomeLine()
{
    QFETCH(bool, boxSeen);
    QFETCH(bool, aborted);
    QFETCH(QString, line);
    LogText::Outcome outcome;
    outcome.boxSeen = boxSeen;
    outcome.boxTitle = QStringLiteral("Read timeout");
    outcome.boxText = QStringLiteral("Index: 5102,\nSubIndex:  a");
    outcome.boxMs = 70;
    outcome.aborted = aborted;
    outcome.endMs = 90;
    QCOMPARE(LogText::outcomeLine(outcome), line);
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

// Started by killedInTheFlashWrite as "<program> --update-tool <COM number>
// <HEX file> <node ID>": the window with that port, file and node chosen,
// and Update pressed; it runs until it is killed.
int runTool(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QuorvexRemoteIOFirmwareUpdater window;
    const auto port = std::uint32_t(QByteArray(argv[2]).toUInt());
    QComboBox *ports = window.ui->comboBox;
    for (int i = 0; i < ports->count(); ++i) {
        if (ports->itemData(i).value<QuorvexCOMLib::EnumSerialCOM::DATA>().port == port)
            ports->setCurrentIndex(i);
    }
    const QFileInfo file(QString::fromLocal8Bit(argv[3]));
    window.ui->comboBox_firmware_file->clear();
    window.ui->comboBox_firmware_file->addItem(file.completeBaseName(), file.absoluteFilePath());
    window.ui->spinBox_nodeid->setValue(QByteArray(argv[4]).toInt());
    window.show();
    QTest::mouseClick(window.ui->button_update, Qt::LeftButton);
    return app.exec();
}

int main(int argc, char *argv[])
{
    if (argc == 5 && qstrcmp(argv[1], kToolArgument) == 0)
        return runTool(argc, argv);
    testsupport::isolateConfig();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    testsupport::failOnUncaughtBoxes();
    TestUpdateLog tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_updatelog.moc"
