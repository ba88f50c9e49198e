#pragma once
// The log file of one update, for support: a header (tool version, start
// time, port, node, firmware), every line of the message stream and each
// stage the update reaches while it runs, the average time per SDO exchange
// of the flash write and read-back, and the outcome (the box that ended the
// update, or "aborted") with the elapsed time.
//
// The log is there when it is needed most: the header is on disk from the
// start, and the lines are written out at every stage, when a box appears,
// and at least once a second while lines come in, so a tool that is killed
// or crashes leaves the header, the last stage reached and the lines up to
// about a second before.
//
// It is made of three pieces: the file (logfile.h: its name, rotation,
// header in place and buffered lines), the tap (messagetap.h: the message
// stream and the boxes) and the text (logtext.h: what each line says). This
// class follows the update (updateobserver.h) and puts them together.
//
// The log never disturbs the update: a folder or file that cannot be written
// turns the log off, silently.

#include "logfile.h"
#include "logtext.h"
#include "messagetap.h"
#include "updateobserver.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <memory>

class UpdateLog : public UpdateObserver, private MessageTap::Sink
{
public:
    // The newest this many logs are kept in the folder; older ones are deleted.
    static constexpr int kKept = LogFile::kKept;

    // <per-user application data folder>/logs: %LOCALAPPDATA%\<org>\<app>\logs
    // on Windows, $XDG_DATA_HOME (~/.local/share)/<org>/<app>/logs on Linux.
    // Needs the application's organisation and name set.
    static QString defaultFolder();

    // Starts the log of an update that starts now: creates its file in
    // `folder` (logfile.h) with the header, and from here on copies the
    // message stream's lines and notes the message boxes shown. Returns at
    // once; never fails visibly.
    explicit UpdateLog(const QString &folder = defaultFolder(),
                       const QDateTime &start = QDateTime::currentDateTime());
    // Finishes if that was not done.
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
    void aborted() override;

    // Writes the outcome as the last line and closes the file: the title and
    // text of the last message box shown since the start, else "aborted"
    // when the update reported its abort, else "ended without a message";
    // with the time from the start to that box (or to this call). Later
    // calls do nothing.
    void finish();

    // The file's path; empty when the log is off.
    QString path() const;

private:
    void line(QtMsgType type, const QString &text) override;
    void boxShown(const QString &title, const QString &text) override;
    void appendStage(const QByteArray &line); // and writes it out
    void writeHeader();

    QDateTime m_start;
    QElapsedTimer m_clock; // from the start, before the file is made
    LogText::HeaderFields m_fields;
    LogFile m_file;
    MessageTap m_tap;
    bool m_finished = false;

    struct Timing
    {
        bool started = false;
        bool ended = false;
        QElapsedTimer clock;
        qint64 ns = 0;
        long exchanges = 0;
    };
    Timing m_transfers[TransferCount];
    LogText::Outcome m_outcome;
};
