#pragma once
// What the update log says, line by line, apart from where it goes: the
// header, the stages, the transfers' averages and the outcome. Each function
// gives one line (or the header's lines) without its line end; none fails.

#include "updateobserver.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>

namespace LogText {

// The header's fields; one never reported shows "-".
struct HeaderFields
{
    QString port = QStringLiteral("-");
    QString nodeId = QStringLiteral("-");
    QString firmware = QStringLiteral("-");
    QString firmwareSize = QStringLiteral("-");
    QString checksum = QStringLiteral("-");
};

// "<application name> update log", the tool's version, the start (local
// time with its offset from UTC), the fields, and the empty line that ends
// the header.
QList<QByteArray> header(const QDateTime &start, const HeaderFields &fields);

// The fields as the header shows them: "COM5"; the file's name with its
// size ("io_v2.0.hex (5870 bytes)"; the name alone when it is no file,
// "(none chosen)" when there is none); "2048 bytes"; the image's vector
// checksum word as eight hex digits.
QString portField(std::uint32_t port);
QString firmwareField(const QString &path);
QString sizeField(int size);
QString checksumField(const std::uint8_t *image);

// "Stage: firmware loaded", "Stage: boot mode entered", "Stage: flash write
// done (3 of 8 blocks)" and the others.
QByteArray imageLoadedStage();
QByteArray stage(UpdateObserver::Stage stage);
QByteArray transferEndedStage(UpdateObserver::Transfer which, int blocksDone, int blocks);

// A transfer's line after the update: "Flash write: 521 SDO exchanges in
// 80.1 ms, 153.7 us per exchange", or "... not completed" when it never
// ended, "... no SDO exchanges" when it made none.
QString transferLine(UpdateObserver::Transfer which, bool ended, long exchanges, qint64 ns);

// How the update ended, the log's last line.
struct Outcome
{
    bool boxSeen = false; // a message box showed: its title and text, at boxMs
    QString boxTitle;
    QString boxText;
    qint64 boxMs = 0;
    bool aborted = false; // else: the user's Abort ended it, at endMs
    qint64 endMs = 0;     // else: it ended without a message
};
// "Outcome: "<title>" "<text>" after 1234 ms" (title and text each on one
// line), "Outcome: aborted after ..." or "Outcome: ended without a message
// after ...".
QString outcomeLine(const Outcome &outcome);

} // namespace LogText
