#pragma once
// One log file in a folder of logs, for support: made under a name no other
// log has, with the oldest logs beyond kKept deleted; a header at its start
// that is written again in place until the first lines go out; lines
// collected in memory and written out in pieces, so that a line costs no
// more than one append to a buffer.
//
// A folder or file that cannot be written turns the file off for good,
// silently: it keeps what is on disk and takes nothing more.

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QString>

class LogFile
{
public:
    // The newest this many logs are kept in the folder; older ones are deleted.
    static constexpr int kKept = 20;

    // Creates update-<start, local time, to the millisecond>.log in `folder`
    // (made if missing; a second log of the same millisecond gets "_2" and so
    // on, so no log is ever overwritten), writes `header` (as writeHeader)
    // and then deletes the oldest logs beyond kKept. Off (isOn() false) when
    // the file could not be made or written.
    LogFile(const QString &folder, const QDateTime &start, const QList<QByteArray> &header);

    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    bool isOn() const { return m_on; }
    // The file's path; empty when it was never made or it was turned off
    // before close().
    QString path() const;

    // Writes `lines` from the file's start, in place of the header written
    // before (which may have been longer). Does nothing once lines have
    // been written out.
    void writeHeader(const QList<QByteArray> &lines);

    // Adds one line (without its end; a line holding line ends becomes
    // several) to the buffer. The buffer is written out when it reaches a
    // piece's size, or when lines have waited in it a second (looked at
    // every so many lines).
    void append(const QString &line);
    // The same for a Latin-1 line, which is never written out by itself.
    void appendLatin1(const QByteArray &line);
    // Writes the buffered lines out now.
    void writeOut();
    // Writes the buffered lines out and closes the file; later calls do
    // nothing.
    void close();

private:
    void fail();

    QFile m_file;
    bool m_on = false;
    bool m_closed = false;
    bool m_linesWritten = false;
    qint64 m_headerSize = 0;
    QByteArray m_buffer;
    int m_linesSinceClockCheck = 0;
    QElapsedTimer m_sinceWriteOut;
};
