// The update's log file (updatelog.h): its place, its header, the message
// stream's lines taken in while an update runs, and its stages and times.

#include "updatelog.h"
#include "canopen/serialcanframe.h"
#include "firmware/hexparser.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>

#ifndef QRIO_VERSION
#error "QRIO_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace {

// The log that takes the debug stream's lines; one update runs at a time.
UpdateLog *g_current = nullptr;

// Lines are written out in pieces of this size at most, not one by one: a
// full update with debug output on makes some 130,000 lines (about 8 MB).
constexpr int kWriteChunk = 256 * 1024;

// Lines wait in memory no longer than this, looked at every so many lines
// (a clock read per line would cost more than the line).
constexpr qint64 kWriteOutMs = 1000;
constexpr int kLinesPerClockCheck = 64;

// The file is written in binary mode with the line ends written here: in
// Text mode Qt writes each line end as a write of its own (two WriteFile
// calls per line on Windows). CR LF on Windows, where the log is opened in
// Notepad, which shows a file of bare LFs as one line up to Windows 10 1809.
#ifdef Q_OS_WIN
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif

const char *const kTransferNames[] = {"Flash write", "Read-back"};
const char *const kTransferStages[] = {"flash write done", "read-back done"};

const char *stageText(UpdateObserver::Stage stage)
{
    switch (stage) {
    case UpdateLog::BootModeEntered:
        return "boot mode entered";
    case UpdateLog::ImagesEqual:
        return "compare: equal";
    case UpdateLog::ImagesDifferent:
        return "compare: different";
    case UpdateLog::FirmwareMarked:
        return "firmware mark written";
    case UpdateLog::UserModeEntered:
        return "user mode entered";
    }
    return "?";
}

QString offsetText(const QDateTime &t)
{
    const int minutes = t.offsetFromUtc() / 60;
    const int a = minutes < 0 ? -minutes : minutes;
    return QString::asprintf("%c%02d:%02d", minutes < 0 ? '-' : '+', a / 60, a % 60);
}

QString oneLine(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

} // namespace

QString UpdateLog::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
           + QStringLiteral("/logs");
}

UpdateLog::UpdateLog(const QString &folder, const QDateTime &start) : m_start(start)
{
    m_clock.start();
    if (!folder.isEmpty() && QDir().mkpath(folder)) {
        const QString stem = QDir(folder).filePath(
            QStringLiteral("update-") + start.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-zzz")));
        // NewOnly: a log of the same millisecond (a second instance of the
        // tool) is never overwritten. Unbuffered: the log keeps its own
        // buffer, and what it writes out is with the system at once.
        for (int n = 1; n <= 99 && !m_on; ++n) {
            m_file.setFileName(n == 1 ? stem + QStringLiteral(".log")
                                      : stem + QStringLiteral("_%1.log").arg(n));
            if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
                m_on = true;
            else if (!m_file.exists())
                break; // not a name clash: the folder cannot be written
        }
    }
    if (!m_on)
        return;
    writeHeader();
    if (!m_on)
        return;
    rotate(folder);
    m_buffer.reserve(kWriteChunk + 4096);
    m_sinceWriteOut.start();
    if (!g_current) {
        g_current = this;
        m_previousHandler = qInstallMessageHandler(handleMessage);
    }
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
}

UpdateLog::~UpdateLog()
{
    finish(false);
}

void UpdateLog::portChosen(std::uint32_t port)
{
    m_port = QStringLiteral("COM%1").arg(port);
    writeHeader();
}

void UpdateLog::nodeChosen(int nodeId)
{
    m_nodeId = QString::number(nodeId);
    writeHeader();
}

void UpdateLog::firmwareChosen(const QString &path)
{
    if (path.isEmpty()) {
        m_firmware = QStringLiteral("(none chosen)");
    } else {
        const QFileInfo info(path);
        m_firmware = info.fileName();
        if (info.isFile())
            m_firmware += QStringLiteral(" (%1 bytes)").arg(info.size());
    }
    writeHeader();
}

void UpdateLog::imageLoaded(const std::uint8_t *image, int size)
{
    m_firmwareSize = QStringLiteral("%1 bytes").arg(size);
    m_checksum = QString::asprintf(
        "%08X", static_cast<unsigned>(SerialCanFrame::getU32(image + HexParser::kChecksumOffset)));
    writeHeader();
    appendStage("firmware loaded");
}

void UpdateLog::reached(Stage stage)
{
    appendStage(stageText(stage));
}

void UpdateLog::transferStarted(Transfer which)
{
    Timing &t = m_transfers[which];
    t.started = true;
    t.ended = false;
    t.clock.start();
}

void UpdateLog::transferEnded(Transfer which, long exchanges, int blocksDone, int blocks)
{
    Timing &t = m_transfers[which];
    if (!t.started)
        return;
    t.ns = t.clock.nsecsElapsed();
    t.exchanges = exchanges;
    t.ended = true;
    appendStage(QStringLiteral("%1 (%2 of %3 blocks)")
                    .arg(QLatin1String(kTransferStages[which]))
                    .arg(blocksDone)
                    .arg(blocks)
                    .toLatin1());
}

void UpdateLog::finish(bool aborted)
{
    if (m_finished)
        return;
    m_finished = true;
    const qint64 endMs = m_clock.elapsed();
    if (g_current == this) {
        qInstallMessageHandler(m_previousHandler);
        g_current = nullptr;
    }
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
    if (!m_on)
        return;

    appendLatin1(QByteArray());
    for (int i = 0; i < TransferCount; ++i) {
        const Timing &t = m_transfers[i];
        if (!t.started)
            continue;
        QString line = QLatin1String(kTransferNames[i]) + QLatin1String(": ");
        if (!t.ended)
            line += QLatin1String("not completed");
        else if (t.exchanges <= 0)
            line += QLatin1String("no SDO exchanges");
        else
            line +=
                QString::asprintf("%ld SDO exchanges in %.1f ms, %.1f us per exchange", t.exchanges,
                                  double(t.ns) / 1e6, double(t.ns) / 1e3 / double(t.exchanges));
        append(line);
    }
    if (m_boxSeen)
        append(QStringLiteral("Outcome: \"%1\" \"%2\" after %3 ms")
                   .arg(oneLine(m_boxTitle), oneLine(m_boxText))
                   .arg(m_boxMs));
    else
        append(QStringLiteral("Outcome: %1 after %2 ms")
                   .arg(aborted ? QStringLiteral("aborted")
                                : QStringLiteral("ended without a message"))
                   .arg(endMs));
    writeOut();
    m_file.close();
    m_on = false;
}

QString UpdateLog::path() const
{
    return m_on || m_finished ? m_file.fileName() : QString();
}

bool UpdateLog::eventFilter(QObject *watched, QEvent *event)
{
    // Every way an update ends with a message is one of the static message
    // boxes, from whichever step failed; its Show is the single place they
    // all pass, and watching it leaves the box itself untouched.
    if (event->type() == QEvent::Show) {
        if (auto *box = qobject_cast<QMessageBox *>(watched)) {
            m_boxSeen = true;
            m_boxTitle = box->windowTitle();
            m_boxText = box->text();
            m_boxMs = m_clock.elapsed();
            // A box waits for the user, who may as well end the tool.
            writeOut();
        }
    }
    return false;
}

void UpdateLog::handleMessage(QtMsgType type, const QMessageLogContext &context,
                              const QString &message)
{
    UpdateLog *log = g_current;
    if (!log)
        return;
    // The log takes a copy of every line; the stream goes on as before.
    // Qt ends the process after a fatal line: that one is written out now.
    if (log->m_on) {
        log->append(message);
        if (type == QtFatalMsg)
            log->writeOut();
    }
    if (log->m_previousHandler)
        log->m_previousHandler(type, context, message);
}

void UpdateLog::append(const QString &line)
{
    // The diagnostic lines are ASCII on one line: copied as they are,
    // without a temporary UTF-8 copy per line.
    const QChar *p = line.constData();
    const int n = line.size();
    int i = 0;
    const int at = m_buffer.size();
    m_buffer.resize(at + n);
    char *out = m_buffer.data() + at;
    for (; i < n && p[i].unicode() < 0x80 && p[i].unicode() != '\n'; ++i)
        out[i] = char(p[i].unicode());
    if (i < n) {
        m_buffer.resize(at + i);
        QByteArray rest = line.midRef(i).toUtf8();
        rest.replace('\n', kLineEnd); // a line of several
        m_buffer += rest;
    }
    m_buffer += kLineEnd;
    if (m_buffer.size() >= kWriteChunk) {
        writeOut();
    } else if (++m_linesSinceClockCheck >= kLinesPerClockCheck) {
        m_linesSinceClockCheck = 0;
        if (m_sinceWriteOut.elapsed() >= kWriteOutMs)
            writeOut();
    }
}

void UpdateLog::appendLatin1(const QByteArray &line)
{
    m_buffer += line;
    m_buffer += kLineEnd;
}

void UpdateLog::appendStage(const QByteArray &text)
{
    if (!m_on)
        return;
    appendLatin1("Stage: " + text);
    writeOut();
}

void UpdateLog::writeHeader()
{
    if (!m_on || m_linesWritten)
        return;
    QByteArray header;
    auto line = [&header](const QByteArray &text) {
        header += text;
        header += kLineEnd;
    };
    auto field = [&line](const char *name, const QString &value) {
        line(QByteArray(name) + ": " + value.toUtf8());
    };
    line(QCoreApplication::applicationName().toUtf8() + " update log");
    field("Tool version", QStringLiteral(QRIO_VERSION));
    field("Started",
          m_start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + offsetText(m_start));
    field("COM port", m_port);
    field("Node ID", m_nodeId);
    field("Firmware file", m_firmware);
    field("Firmware size", m_firmwareSize);
    field("Vector checksum word", m_checksum);
    line(QByteArray());
    // In place of the header written before, which a field's "-" made
    // shorter than this one.
    if (!m_file.seek(0) || m_file.write(header) != header.size()) {
        fail();
        return;
    }
    if (header.size() < m_headerSize && !m_file.resize(header.size())) {
        fail();
        return;
    }
    m_headerSize = header.size();
}

void UpdateLog::writeOut()
{
    if (!m_on)
        return;
    m_sinceWriteOut.restart();
    if (m_buffer.isEmpty())
        return;
    m_linesWritten = true;
    if (m_file.write(m_buffer) != m_buffer.size()) {
        fail();
        return;
    }
    m_buffer.resize(0);
}

void UpdateLog::fail()
{
    // Disk full or the file gone: keep what is there, write no more.
    m_on = false;
    m_buffer = QByteArray();
    m_file.close();
}

void UpdateLog::rotate(const QString &folder)
{
    const QDir dir(folder);
    const QStringList logs =
        dir.entryList({QStringLiteral("update-*.log")}, QDir::Files, QDir::Name);
    for (int i = 0; i < logs.size() - kKept; ++i)
        QFile::remove(dir.filePath(logs[i]));
}
