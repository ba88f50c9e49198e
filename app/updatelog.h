#pragma once
// The log file of one update, for support: a header (tool version, start
// time, port, node, firmware), every line of the message stream (debug,
// info, warning: the serial layer's reports among them) and each stage the
// update reaches while it runs, the average time per SDO exchange of the
// flash write and read-back, and the outcome (the box that ended the update,
// or "aborted") with the elapsed time.
//
// The log is there when it is needed most: the header is on disk from the
// start, and the lines are written out at every stage, when a box appears,
// and at least once a second while lines come in, so a tool that is killed
// or crashes leaves the header, the last stage reached and the lines up to
// about a second before. Between those, lines are collected in memory, so
// an exchange costs no more than one append to a buffer.
//
// The log never disturbs the update: a folder or file that cannot be written
// turns the log off, silently.

#include "updateobserver.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>

#include <cstdint>

class UpdateLog : public QObject, public UpdateObserver
{
public:
    // The newest this many logs are kept in the folder; older ones are deleted.
    static constexpr int kKept = 20;

    // <per-user application data folder>/logs: %LOCALAPPDATA%\<org>\<app>\logs
    // on Windows, $XDG_DATA_HOME (~/.local/share)/<org>/<app>/logs on Linux.
    // Needs the application's organisation and name set.
    static QString defaultFolder();

    // Starts the log of an update that starts now: creates its file in
    // `folder` (named by `start`, local time, to the millisecond; a second
    // log of the same millisecond gets "_2" and so on) and writes the header,
    // deletes the oldest logs beyond kKept, and from here on copies the
    // message stream's lines and notes the message boxes shown. Returns at
    // once; never fails visibly.
    explicit UpdateLog(const QString &folder = defaultFolder(),
                       const QDateTime &start = QDateTime::currentDateTime());
    // Finishes (as finish(false)) if that was not done.
    ~UpdateLog() override;

    UpdateLog(const UpdateLog &) = delete;
    UpdateLog &operator=(const UpdateLog &) = delete;

    // What the update reports (updateobserver.h). The choices and the image
    // are the header's fields (a field never reported shows "-"); the header
    // on disk is written again with each, up to the first write-out of lines.
    // The image loaded, each stage and each transfer's end are a line
    // "Stage: ..." of their own, written out at once: "firmware loaded",
    // "boot mode entered", "flash write done (3 of 8 blocks)", "read-back
    // done (8 of 8 blocks)", "compare: equal" or "compare: different",
    // "firmware mark written", "user mode entered". A transfer started but
    // never ended (a reply timed out) is reported as not completed.
    void nodeChosen(int nodeId) override;
    void portChosen(std::uint32_t port) override;
    void firmwareChosen(const QString &path) override;
    void imageLoaded(const std::uint8_t *image, int size) override;
    void reached(Stage stage) override;
    void transferStarted(Transfer which) override;
    void transferEnded(Transfer which, long exchanges, int blocksDone, int blocks) override;

    // Writes the outcome as the last line and closes the file: the title and
    // text of the last message box shown since the start, else "aborted"
    // when `aborted`, else "ended without a message"; with the time from the
    // start to that box (or to this call). Later calls do nothing.
    void finish(bool aborted);

    // The file's path; empty when the log is off.
    QString path() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context,
                              const QString &message);
    void append(const QString &line);
    void appendLatin1(const QByteArray &line);
    void appendStage(const QByteArray &text); // and writes it out
    void writeHeader();                       // from the file's start, while no line is written out
    void writeOut();                          // the buffered lines
    void fail();                              // turns the log off for the rest of the update
    void rotate(const QString &folder);

    QFile m_file;
    bool m_on = false;
    bool m_finished = false;
    bool m_linesWritten = false;
    qint64 m_headerSize = 0;
    QByteArray m_buffer;
    int m_linesSinceClockCheck = 0;
    QElapsedTimer m_sinceWriteOut;
    QDateTime m_start;
    QElapsedTimer m_clock;
    QtMessageHandler m_previousHandler = nullptr;

    QString m_port = QStringLiteral("-");
    QString m_nodeId = QStringLiteral("-");
    QString m_firmware = QStringLiteral("-");
    QString m_firmwareSize = QStringLiteral("-");
    QString m_checksum = QStringLiteral("-");

    struct Timing
    {
        bool started = false;
        bool ended = false;
        QElapsedTimer clock;
        qint64 ns = 0;
        long exchanges = 0;
    };
    Timing m_transfers[TransferCount];

    bool m_boxSeen = false;
    QString m_boxTitle;
    QString m_boxText;
    qint64 m_boxMs = 0;
};
