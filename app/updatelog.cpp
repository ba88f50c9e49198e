// The update's log (updatelog.h): the update's reports turned into the
// file's header, stages and outcome, and the tap's lines and boxes into its
// body.

#include "updatelog.h"

#include <QStandardPaths>

namespace {

QElapsedTimer startedClock()
{
    QElapsedTimer clock;
    clock.start();
    return clock;
}

} // namespace

QString UpdateLog::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
           + QStringLiteral("/logs");
}

UpdateLog::UpdateLog(const QString &folder, const QDateTime &start)
    : m_start(start),
      m_clock(startedClock()),
      m_file(folder, start, LogText::header(start, m_fields)),
      m_tap(*this)
{
    if (m_file.isOn())
        m_tap.attach();
}

UpdateLog::~UpdateLog()
{
    finish();
}

void UpdateLog::portChosen(std::uint32_t port)
{
    m_fields.port = LogText::portField(port);
    writeHeader();
}

void UpdateLog::nodeChosen(int nodeId)
{
    m_fields.nodeId = QString::number(nodeId);
    writeHeader();
}

void UpdateLog::firmwareChosen(const QString &path)
{
    m_fields.firmware = LogText::firmwareField(path);
    writeHeader();
}

void UpdateLog::imageLoaded(const std::uint8_t *image, int size)
{
    m_fields.firmwareSize = LogText::sizeField(size);
    m_fields.checksum = LogText::checksumField(image);
    writeHeader();
    appendStage(LogText::imageLoadedStage());
}

void UpdateLog::reached(Stage stage)
{
    appendStage(LogText::stage(stage));
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
    appendStage(LogText::transferEndedStage(which, blocksDone, blocks));
}

void UpdateLog::aborted()
{
    m_outcome.aborted = true;
}

void UpdateLog::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_outcome.endMs = m_clock.elapsed();
    m_tap.detach();
    if (!m_file.isOn())
        return;

    m_file.appendLatin1(QByteArray());
    for (int i = 0; i < TransferCount; ++i) {
        const Timing &t = m_transfers[i];
        if (t.started)
            m_file.append(LogText::transferLine(Transfer(i), t.ended, t.exchanges, t.ns));
    }
    m_file.append(LogText::outcomeLine(m_outcome));
    m_file.close();
}

QString UpdateLog::path() const
{
    return m_file.path();
}

void UpdateLog::line(QtMsgType type, const QString &text)
{
    // Qt ends the process after a fatal line: that one is written out now.
    m_file.append(text);
    if (type == QtFatalMsg)
        m_file.writeOut();
}

void UpdateLog::boxShown(const QString &title, const QString &text)
{
    m_outcome.boxSeen = true;
    m_outcome.boxTitle = title;
    m_outcome.boxText = text;
    m_outcome.boxMs = m_clock.elapsed();
    // A box waits for the user, who may as well end the tool.
    m_file.writeOut();
}

void UpdateLog::appendStage(const QByteArray &line)
{
    m_file.appendLatin1(line);
    m_file.writeOut();
}

void UpdateLog::writeHeader()
{
    m_file.writeHeader(LogText::header(m_start, m_fields));
}
