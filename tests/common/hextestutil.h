#pragma once
// Helpers of the HEX loader tests: record text, the image a load must give,
// and a loader run that records its message boxes and debug lines.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "testsupport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdint>
#include <cstring>

namespace hextest {

constexpr int kImageBytes = FlashGeometry::flashSize;

// One record line, upper-case digits, without line end. countOverride
// replaces the byte count field; checksumDelta spoils the checksum.
inline QByteArray record(int type, int address, const QByteArray &data, int countOverride = -1,
                         int checksumDelta = 0)
{
    QByteArray bytes;
    bytes.append(char(countOverride >= 0 ? countOverride : data.size()));
    bytes.append(char((address >> 8) & 0xFF));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    quint8 sum = 0;
    for (char c : bytes)
        sum = quint8(sum + quint8(c));
    bytes.append(char(quint8(0x100 - sum + checksumDelta)));
    return ':' + bytes.toHex().toUpper();
}

inline QByteArray dataRecord(int address, const QByteArray &data)
{
    return record(0x00, address, data);
}

inline QByteArray linearAddress(int upper)
{
    return record(0x04, 0,
                  QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
}

inline QByteArray segmentAddress(int segment)
{
    return record(0x02, 0,
                  QByteArray::fromHex(QByteArray::number(segment, 16).rightJustified(4, '0')));
}

inline QByteArray endOfFile()
{
    return ":00000001FF";
}

// n bytes of a fixed pseudo-random pattern.
inline QByteArray pattern(int n, quint32 seed = 1)
{
    QByteArray out(n, '\0');
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = char(x >> 23);
    }
    return out;
}

// The text of a HEX file holding `data` from `start` on in 16-byte records,
// with a linear address record at every 64 KiB boundary.
inline QByteArray hexFile(const QByteArray &data, quint32 start = FlashGeometry::flashBase,
                          const char *eol = "\n")
{
    QByteArray out;
    int upper = -1;
    for (int i = 0; i < data.size(); i += 16) {
        const quint32 address = start + quint32(i);
        if (int(address >> 16) != upper) {
            upper = int(address >> 16);
            out += linearAddress(upper) + eol;
        }
        out += dataRecord(int(address & 0xFFFF), data.mid(i, 16)) + eol;
    }
    out += endOfFile() + eol;
    return out;
}

// What editors do to a HEX file when they save it. Each takes the text of a
// file and returns it as saved; "data line" is a line holding a data record.
namespace editor {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF"; // UTF-8

inline bool isDataLine(const QByteArray &line)
{
    return line.startsWith(':') && line.mid(7, 2) == "00";
}

// Index of the first (or last) data line of `lines`, -1 when none.
inline int dataLine(const QList<QByteArray> &lines, bool last)
{
    int found = -1;
    for (int i = 0; i < lines.size(); ++i) {
        if (isDataLine(lines[i])) {
            found = i;
            if (!last)
                break;
        }
    }
    return found;
}

// Inserts `what` into the first (or last) data line at character `position`
// of the line; a negative position counts from the line's end, before any CR.
inline QByteArray intoDataLine(const QByteArray &text, bool last, int position,
                               const QByteArray &what)
{
    QList<QByteArray> lines = text.split('\n');
    const int i = dataLine(lines, last);
    if (i < 0)
        qFatal("no data line");
    QByteArray &line = lines[i];
    int end = line.size();
    while (end > 0 && line[end - 1] == '\r')
        --end;
    line.insert(position >= 0 ? position : end + 1 + position, what);
    return lines.join('\n');
}

inline QByteArray trailingOnFirstDataLine(const QByteArray &text, const QByteArray &what)
{
    return intoDataLine(text, false, -1, what);
}

inline QByteArray trailingOnLastDataLine(const QByteArray &text, const QByteArray &what)
{
    return intoDataLine(text, true, -1, what);
}

// `what` at the end of every line that has a line end, before any CR.
inline QByteArray trailingOnEveryLine(const QByteArray &text, const QByteArray &what)
{
    QByteArray out = text;
    out.replace("\r\n", "\n");
    out.replace("\n", what + "\n");
    if (text.contains("\r\n"))
        out.replace("\n", "\r\n");
    return out;
}

inline QByteArray withByteOrderMark(const QByteArray &text)
{
    return kByteOrderMark + text;
}

// Every LF preceded by `eol` in place of a CR LF or LF ("\r\r\n": a CR LF
// file passed once more through a CR LF conversion).
inline QByteArray withLineEnds(const QByteArray &text, const QByteArray &eol)
{
    QByteArray out = text;
    out.replace("\r\n", "\n");
    out.replace("\n", eol);
    return out;
}

// The file as far as a line end about halfway through: a copy still being
// written, or a download that was interrupted.
inline QByteArray cutAtLineEnd(const QByteArray &text)
{
    return text.left(text.indexOf('\n', text.size() / 2) + 1);
}

// The text as Notepad saves it as "Unicode": UTF-16 little-endian, by
// default with its byte-order mark.
inline QByteArray asUtf16(const QByteArray &text, bool byteOrderMark = true)
{
    QByteArray out = byteOrderMark ? QByteArray("\xFF\xFE") : QByteArray();
    for (char c : text)
        out += QByteArray(1, c) + '\0';
    return out;
}

// The same file without its leading linear address record for 0, so that its
// first line is a data record (the address 0 is implied).
inline QByteArray dataFirst(const QByteArray &text)
{
    const QByteArray head = linearAddress(0);
    if (!text.startsWith(head))
        qFatal("no leading address record");
    return text.mid(text.indexOf('\n') + 1);
}

} // namespace editor

// The image a successful load of `data` must give, computed from the data
// alone: the data from byte 0, 0xFF after it, and bytes 28..31 holding the
// word that makes the eight little-endian words at 0..31 add up to zero. The
// tests' oracle; imageOf() below is the window's own buffer under test.
inline QByteArray imageFromData(const QByteArray &data)
{
    QByteArray image(kImageBytes, char(0xFF));
    std::memcpy(image.data(), data.constData(), size_t(data.size()));
    quint32 sum = 0;
    for (int i = 0; i < 28; ++i)
        sum += quint32(quint8(image[i])) << (8 * (i % 4));
    const quint32 word = 0u - sum;
    for (int i = 0; i < 4; ++i)
        image[28 + i] = char((word >> (8 * i)) & 0xFF);
    return image;
}

// The window's own image buffer, as its loader left it.
inline QByteArray imageOf(const QuorvexRemoteIOFirmwareUpdater &w)
{
    return QByteArray(reinterpret_cast<const char *>(w.image), kImageBytes);
}

// "" when equal, else where and how the two images first differ.
inline QString imageDifference(const QByteArray &actual, const QByteArray &expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1 instead of %2").arg(actual.size()).arg(expected.size());
    for (int i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i])
            return QStringLiteral("byte %1 is %2, expected %3")
                .arg(i)
                .arg(quint8(actual[i]), 2, 16, QLatin1Char('0'))
                .arg(quint8(expected[i]), 2, 16, QLatin1Char('0'));
    }
    return QString();
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(content) == content.size();
}

// Collects the text of debug lines while alive.
class DebugLines
{
public:
    DebugLines()
    {
        current = this;
        previous = qInstallMessageHandler(&DebugLines::handler);
    }
    ~DebugLines()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    QStringList lines;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
    {
        if (type == QtDebugMsg && current)
            current->lines.append(msg);
        else if (current && current->previous)
            current->previous(type, context, msg);
    }
    static inline DebugLines *current = nullptr;
    QtMessageHandler previous = nullptr;
};

// One call of loadHexFile with the boxes it showed and the lines it logged.
struct LoadRun
{
    bool ok = false;
    QList<testsupport::CaughtBox> boxes;
    QStringList debug;
};

inline LoadRun runLoad(QuorvexRemoteIOFirmwareUpdater &w, const QString &path)
{
    LoadRun run;
    w.firmwareFile = path.toUtf8().toStdString();
    testsupport::MessageBoxCatcher catcher;
    DebugLines debug;
    run.ok = w.loadHexFile();
    run.boxes = catcher.boxes;
    run.debug = debug.lines;
    return run;
}

} // namespace hextest
