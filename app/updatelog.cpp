#include "updatelog.h"

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

// Lines are written out in pieces of this size, not one by one: a full
// update with debug output on makes some 130,000 lines (about 8 MB).
constexpr int kWriteChunk = 256 * 1024;

const char *const kTransferNames[] = {"Flash write", "Read-back"};

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
        // tool) is never overwritten. Text: the platform's line ends, so the
        // log reads in any editor.
        for (int n = 1; n <= 99 && !m_on; ++n) {
            m_file.setFileName(n == 1 ? stem + QStringLiteral(".log")
                                      : stem + QStringLiteral("_%1.log").arg(n));
            if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered
                            | QIODevice::Text))
                m_on = true;
            else if (!m_file.exists())
                break; // not a name clash: the folder cannot be written
        }
    }
    if (!m_on)
        return;
    rotate(folder);
    m_buffer.reserve(kWriteChunk + 4096);
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

void UpdateLog::setPort(std::uint32_t port)
{
    m_port = QStringLiteral("COM%1").arg(port);
}

void UpdateLog::setNodeId(int nodeId)
{
    m_nodeId = QString::number(nodeId);
}

void UpdateLog::setFirmware(const QString &path)
{
    if (path.isEmpty()) {
        m_firmware = QStringLiteral("(none chosen)");
        return;
    }
    const QFileInfo info(path);
    m_firmware = info.fileName();
    if (info.isFile())
        m_firmware += QStringLiteral(" (%1 bytes)").arg(info.size());
}

void UpdateLog::setImage(int size, std::uint32_t vectorChecksum)
{
    m_firmwareSize = QStringLiteral("%1 bytes").arg(size);
    m_checksum = QString::asprintf("%08X", static_cast<unsigned>(vectorChecksum));
}

void UpdateLog::startTransfer(Transfer which)
{
    Timing &t = m_transfers[which];
    t.started = true;
    t.ended = false;
    t.clock.start();
}

void UpdateLog::endTransfer(Transfer which, long exchanges)
{
    Timing &t = m_transfers[which];
    if (!t.started)
        return;
    t.ns = t.clock.nsecsElapsed();
    t.exchanges = exchanges;
    t.ended = true;
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
    // The stream goes on as before; the log takes a copy of the debug lines.
    if (log->m_previousHandler)
        log->m_previousHandler(type, context, message);
    if (type == QtDebugMsg && log->m_on)
        log->append(message);
}

void UpdateLog::append(const QString &line)
{
    // The diagnostic lines are ASCII: copied as they are, without a
    // temporary UTF-8 copy per line.
    const QChar *p = line.constData();
    const int n = line.size();
    int i = 0;
    const int at = m_buffer.size();
    m_buffer.resize(at + n);
    char *out = m_buffer.data() + at;
    for (; i < n && p[i].unicode() < 0x80; ++i)
        out[i] = char(p[i].unicode());
    if (i < n) {
        m_buffer.resize(at + i);
        m_buffer += line.midRef(i).toUtf8();
    }
    m_buffer += '\n';
    if (m_buffer.size() >= kWriteChunk)
        writeOut();
}

void UpdateLog::appendLatin1(const QByteArray &line)
{
    m_buffer += line;
    m_buffer += '\n';
}

void UpdateLog::writeOut()
{
    if (!m_on)
        return;
    if (!m_headerWritten) {
        m_headerWritten = true;
        QByteArray header;
        auto field = [&header](const char *name, const QString &value) {
            header += name;
            header += ": ";
            header += value.toUtf8();
            header += '\n';
        };
        header += QCoreApplication::applicationName().toUtf8() + " update log\n";
        field("Tool version", QStringLiteral(QRIO_VERSION));
        field("Started",
              m_start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + offsetText(m_start));
        field("COM port", m_port);
        field("Node ID", m_nodeId);
        field("Firmware file", m_firmware);
        field("Firmware size", m_firmwareSize);
        field("Vector checksum word", m_checksum);
        header += '\n';
        if (m_file.write(header) != header.size()) {
            fail();
            return;
        }
    }
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
