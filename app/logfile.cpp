// The log file (logfile.h): its name, the folder's rotation, the header in
// place and the buffered lines.

#include "logfile.h"

#include <QDir>

namespace {

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

void rotate(const QString &folder, int kept)
{
    const QDir dir(folder);
    const QStringList logs =
        dir.entryList({QStringLiteral("update-*.log")}, QDir::Files, QDir::Name);
    for (int i = 0; i < logs.size() - kept; ++i)
        QFile::remove(dir.filePath(logs[i]));
}

} // namespace

LogFile::LogFile(const QString &folder, const QDateTime &start, const QList<QByteArray> &header)
{
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return;
    const QString stem = QDir(folder).filePath(
        QStringLiteral("update-") + start.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-zzz")));
    // NewOnly: a log of the same millisecond (a second instance of the tool)
    // is never overwritten. Unbuffered: the buffer is this class's own, and
    // what it writes out is with the system at once.
    for (int n = 1; n <= 99 && !m_on; ++n) {
        m_file.setFileName(n == 1 ? stem + QStringLiteral(".log")
                                  : stem + QStringLiteral("_%1.log").arg(n));
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            m_on = true;
        else if (!m_file.exists())
            break; // not a name clash: the folder cannot be written
    }
    if (!m_on)
        return;
    writeHeader(header);
    if (!m_on)
        return;
    rotate(folder, kKept);
    m_buffer.reserve(kWriteChunk + 4096);
    m_sinceWriteOut.start();
}

QString LogFile::path() const
{
    return m_on || m_closed ? m_file.fileName() : QString();
}

void LogFile::writeHeader(const QList<QByteArray> &lines)
{
    if (!m_on || m_linesWritten)
        return;
    QByteArray header;
    for (const QByteArray &line : lines) {
        header += line;
        header += kLineEnd;
    }
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

void LogFile::append(const QString &line)
{
    if (!m_on)
        return;
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

void LogFile::appendLatin1(const QByteArray &line)
{
    if (!m_on)
        return;
    m_buffer += line;
    m_buffer += kLineEnd;
}

void LogFile::writeOut()
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

void LogFile::close()
{
    if (!m_on)
        return;
    writeOut();
    if (!m_on)
        return;
    m_file.close();
    m_on = false;
    m_closed = true;
}

void LogFile::fail()
{
    // Disk full or the file gone: keep what is there, write no more.
    m_on = false;
    m_buffer = QByteArray();
    m_file.close();
}
