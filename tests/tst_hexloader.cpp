// The Intel HEX loader: digit and record decoding, the line filter, packing
// of data records, the vector checksum, contiguity, the size limit and every
// message the loader shows.

#include "tests/common/hextestutil.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <stdexcept>

using namespace hextest;

namespace {

enum Outcome { Loads, Warning, Critical };

const QString kLoadError = QStringLiteral("Load hex file error");
const QString kTooBig = QStringLiteral("Data size in hex file is bigger than 131072");
const QString kNoEnd = QStringLiteral(
    "Hex file has no end-of-file record\nThe file may be incomplete: a copy that was still being "
    "written, or a download that was interrupted. Copy or download it again.");
const QString kUtf16 =
    QStringLiteral("Hex file is saved as UTF-16 text\nOpen it in a text editor and save it as "
                   "ANSI or UTF-8 text.");

QString formatErrorAt(int line)
{
    return QStringLiteral("unexpected format or checksum error (line %1)").arg(line);
}

QString tooLong(int line)
{
    return QStringLiteral("Data record longer than 16 bytes (line %1)").arg(line);
}

QString notContiguous(int line)
{
    return QStringLiteral("Data in hex file is not contiguous (line %1)").arg(line);
}

QByteArray lines(const QList<QByteArray> &list, const char *eol = "\n")
{
    QByteArray out;
    for (const QByteArray &l : list)
        out += l + eol;
    return out;
}

// The lines as a writer ends them: with an end-of-file record.
QByteArray hexLines(const QList<QByteArray> &list, const char *eol = "\n")
{
    return lines(list, eol) + endOfFile() + eol;
}

} // namespace

class TestHexLoader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void hexCharToInt();
    void hexStringToBytes_data();
    void hexStringToBytes();
    void parseHexRecord_data();
    void parseHexRecord();

    void loadFile_data();
    void loadFile();
    void unopenableFile_data();
    void unopenableFile();
    void checksumWordAndDebugLine_data();
    void checksumWordAndDebugLine();
    void eachLoadStartsAfresh();
    void nonAsciiPath();

private:
    void checkBox(const LoadRun &run, QMessageBox::Icon icon, const QString &title,
                  const QString &text);

    QTemporaryDir dir;
    std::unique_ptr<QuorvexRemoteIOFirmwareUpdater> window;
};

void TestHexLoader::initTestCase()
{
    QVERIFY(dir.isValid());
    window = std::make_unique<QuorvexRemoteIOFirmwareUpdater>();
}

void TestHexLoader::checkBox(const LoadRun &run, QMessageBox::Icon icon, const QString &title,
                             const QString &text)
{
    QCOMPARE(run.boxes.size(), 1);
    const testsupport::CaughtBox &box = run.boxes.first();
    QCOMPARE(box.icon, icon);
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, static_cast<QWidget *>(window.get()));
}

// ---------------------------------------------------------------- decoding

void TestHexLoader::hexCharToInt()
{
    for (int c = 0; c < 256; ++c) {
        const char ch = char(c);
        int expected = -1;
        if (c >= '0' && c <= '9')
            expected = c - '0';
        else if (c >= 'a' && c <= 'f')
            expected = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            expected = c - 'A' + 10;
        try {
            const int value = QuorvexRemoteIOFirmwareUpdater::hexCharToInt(ch);
            QVERIFY2(value == expected, qPrintable(QStringLiteral("character %1").arg(c)));
        } catch (const std::invalid_argument &e) {
            QVERIFY2(expected < 0, qPrintable(QStringLiteral("character %1 threw").arg(c)));
            QCOMPARE(QString::fromLatin1(e.what()), QStringLiteral("Invalid input string"));
        }
    }
}

void TestHexLoader::hexStringToBytes_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("throws");

    QTest::newRow("colon only") << QByteArray(":") << 512 << 0 << QByteArray() << false;
    QTest::newRow("empty line") << QByteArray() << 512 << -1 << QByteArray() << false;
    QTest::newRow("odd digit count") << QByteArray(":123") << 512 << -1 << QByteArray() << false;
    QTest::newRow("one digit") << QByteArray(":1") << 512 << -1 << QByteArray() << false;
    QTest::newRow("pairs high digit first")
        << QByteArray(":0A1b2C3d") << 512 << 4 << QByteArray::fromHex("0a1b2c3d") << false;
    QTest::newRow("first character not examined")
        << QByteArray("xFF00") << 512 << 2 << QByteArray::fromHex("ff00") << false;
    QTest::newRow("exactly the capacity")
        << QByteArray(":010203") << 3 << 3 << QByteArray::fromHex("010203") << false;
    QTest::newRow("over the capacity") << QByteArray(":010203") << 2 << -1 << QByteArray() << false;
    QTest::newRow("256 bytes") << ':' + QByteArray(512, 'f') << 512 << 256
                               << QByteArray(256, char(0xFF)) << false;
    QTest::newRow("257 bytes") << ':' + QByteArray(514, 'f') << 512 << 257
                               << QByteArray(257, char(0xFF)) << false;
    QTest::newRow("non-digit throws") << QByteArray(":0G") << 512 << 0 << QByteArray() << true;
    QTest::newRow("blank throws") << QByteArray(": 1") << 512 << 0 << QByteArray() << true;
}

void TestHexLoader::hexStringToBytes()
{
    QFETCH(QByteArray, line);
    QFETCH(int, capacity);
    QFETCH(int, result);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, throws);

    QByteArray buffer(600, char(0x5A));
    const std::string text = line.toStdString();
    try {
        const int n = QuorvexRemoteIOFirmwareUpdater::hexStringToBytes(
            text, reinterpret_cast<std::uint8_t *>(buffer.data()), capacity);
        QVERIFY(!throws);
        QCOMPARE(n, result);
        if (n > 0)
            QCOMPARE(buffer.left(n), bytes);
        // Nothing is written past the decoded bytes.
        QCOMPARE(buffer.mid(qMax(n, 0)), QByteArray(600 - qMax(n, 0), char(0x5A)));
    } catch (const std::invalid_argument &e) {
        QVERIFY(throws);
        QCOMPARE(QString::fromLatin1(e.what()), QStringLiteral("Invalid input string"));
    }
}

void TestHexLoader::parseHexRecord_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("data");

    const QByteArray sixteen = pattern(16);
    QTest::newRow("data record of 16 bytes") << dataRecord(0x8000, sixteen) << true << sixteen;
    QTest::newRow("lower-case digits") << dataRecord(0x8000, sixteen).toLower() << true << sixteen;
    QTest::newRow("data record of 1 byte")
        << dataRecord(0x0000, "\x42") << true << QByteArray("\x42");
    QTest::newRow("data record of 0 bytes") << QByteArray(":0000000000") << true << QByteArray();
    QTest::newRow("end of file") << endOfFile() << true << QByteArray();
    QTest::newRow("end of file, wrong checksum")
        << QByteArray(":00000001FE") << true << QByteArray();
    QTest::newRow("linear address, wrong checksum")
        << record(0x04, 0, QByteArray("\x00\x01", 2), -1, 1) << true << QByteArray();
    QTest::newRow("other type, no checksum at all")
        << QByteArray(":00000005") << true << QByteArray();
    QTest::newRow("other type, byte count over 16")
        << record(0x03, 0, QByteArray("\x00\x00\x80\x00", 4), 0x40) << true << QByteArray();
    QTest::newRow("data, wrong checksum")
        << record(0x00, 0, sixteen, -1, 1) << false << QByteArray();
    QTest::newRow("data, byte count 0x11")
        << record(0x00, 0, sixteen, 0x11) << false << QByteArray();
    QTest::newRow("data, byte count 0xFF")
        << record(0x00, 0, "\x01\x02", 0xFF) << false << QByteArray();
    QTest::newRow("odd number of digits") << QByteArray(":000000000") << false << QByteArray();
    QTest::newRow("colon only") << QByteArray(":") << false << QByteArray();
    QTest::newRow("one byte, no record type") << QByteArray(":00") << false << QByteArray();
    QTest::newRow("two bytes, no record type") << QByteArray(":0000") << false << QByteArray();
    QTest::newRow("three bytes, no record type") << QByteArray(":000000") << false << QByteArray();
    QTest::newRow("four bytes, data record without checksum")
        << QByteArray(":00000000") << false << QByteArray();
    // Byte count 16 but only 8 data bytes on the line; the checksum adds up.
    QTest::newRow("byte count beyond the data present")
        << record(0x00, 0, pattern(8), 16) << false << QByteArray();
    // Byte count 4 with 8 data bytes present: only the first 4 are taken.
    QTest::newRow("byte count below the data present")
        << record(0x00, 0, pattern(8), 4) << true << pattern(8).left(4);
}

void TestHexLoader::parseHexRecord()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, valid);
    QFETCH(QByteArray, data);

    QByteArray buffer(16, char(0x5A));
    int length = -1;
    const bool ok = QuorvexRemoteIOFirmwareUpdater::parseHexRecord(
        line.toStdString(), reinterpret_cast<std::uint8_t *>(buffer.data()), length);
    QCOMPARE(ok, valid);
    if (valid) {
        QCOMPARE(length, data.size());
        QCOMPARE(buffer.left(length), data);
        QCOMPARE(buffer.mid(length), QByteArray(16 - length, char(0x5A)));
    }
}

// ---------------------------------------------------------------- loading

void TestHexLoader::loadFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QByteArray>("data"); // what lands at image byte 0 on
    QTest::addColumn<QString>("message"); // the critical box's text otherwise

    const QByteArray a = pattern(16, 1), b = pattern(16, 2), c = pattern(16, 3);
    const QByteArray none;
    const QString ok;

    // Files that hold no data.
    QTest::newRow("empty file") << QByteArray() << int(Critical) << none << kNoEnd;
    QTest::newRow("only end of file") << lines({endOfFile()}) << int(Loads) << none << ok;
    QTest::newRow("only address and start records") << lines(
        {linearAddress(0), record(0x05, 0, QByteArray("\x00\x00\x80\x00", 4)), endOfFile()})
                                                    << int(Loads) << none << ok;

    // Packing in file order from byte 0.
    QTest::newRow("one record at 0x8000")
        << lines({dataRecord(0x8000, a), endOfFile()}) << int(Loads) << a << ok;
    QTest::newRow("first record at any address")
        << hexLines({dataRecord(0x1234, a), dataRecord(0x1244, b)}) << int(Loads) << a + b << ok;
    QTest::newRow("records of different lengths") << hexLines(
        {dataRecord(0x8000, a.left(3)), dataRecord(0x8003, b), dataRecord(0x8013, c.left(1))})
                                                  << int(Loads) << a.left(3) + b + c.left(1) << ok;
    QTest::newRow("data after end of file")
        << lines({dataRecord(0x8000, a), endOfFile(), dataRecord(0x8010, b)}) << int(Loads) << a + b
        << ok;
    QTest::newRow("lower-case digits")
        << lines({dataRecord(0x8000, a).toLower(), endOfFile().toLower()}) << int(Loads) << a << ok;
    QTest::newRow("CR LF line ends")
        << lines({dataRecord(0x8000, a), dataRecord(0x8010, b), endOfFile()}, "\r\n") << int(Loads)
        << a + b << ok;
    QTest::newRow("last line without line end")
        << lines({dataRecord(0x8000, a), dataRecord(0x8010, b)}) + endOfFile() << int(Loads)
        << a + b << ok;
    QTest::newRow("last line ending in CR without LF")
        << lines({dataRecord(0x8000, a), dataRecord(0x8010, b)}) + endOfFile() + "\r" << int(Loads)
        << a + b << ok;
    QTest::newRow("wrong checksum on end of file and address records")
        << lines({record(0x04, 0, QByteArray("\x00\x00", 2), -1, 3), dataRecord(0x8000, a),
                  QByteArray(":00000001FE")})
        << int(Loads) << a << ok;
    QTest::newRow("43-character record is the longest considered")
        << hexLines({dataRecord(0x8000, a)}) << int(Loads) << a << ok;

    // Files as editors save them load like the clean file: a byte-order mark
    // at the start, blanks, tabs and CRs at the end of a line are ignored.
    const QByteArray clean = lines(
        {dataRecord(0x8000, a), dataRecord(0x8010, b), dataRecord(0x8020, c), endOfFile()}, "\r\n");
    QTest::newRow("byte-order mark")
        << editor::withByteOrderMark(clean) << int(Loads) << a + b + c << ok;
    QTest::newRow("byte-order mark before a comment line")
        << editor::withByteOrderMark("; firmware 1.2\r\n" + clean) << int(Loads) << a + b + c << ok;
    QTest::newRow("trailing blank on the first data line")
        << editor::trailingOnFirstDataLine(clean, " ") << int(Loads) << a + b + c << ok;
    QTest::newRow("trailing tab on the first data line")
        << editor::trailingOnFirstDataLine(clean, "\t") << int(Loads) << a + b + c << ok;
    QTest::newRow("trailing blank on the last data line")
        << editor::trailingOnLastDataLine(clean, " ") << int(Loads) << a + b + c << ok;
    QTest::newRow("trailing tab on the last data line")
        << editor::trailingOnLastDataLine(clean, "\t") << int(Loads) << a + b + c << ok;
    QTest::newRow("trailing blanks and tabs on every line, LF")
        << lines({dataRecord(0x8000, a) + " \t ", dataRecord(0x8010, b) + "\t",
                  dataRecord(0x8020, c) + "    ", endOfFile() + " "})
        << int(Loads) << a + b + c << ok;
    QTest::newRow("trailing blank on the last line without line end")
        << lines({dataRecord(0x8000, a), dataRecord(0x8010, b)}) + endOfFile() + " " << int(Loads)
        << a + b << ok;
    QTest::newRow("CR CR LF line ends")
        << editor::withLineEnds(clean, "\r\r\n") << int(Loads) << a + b + c << ok;
    QTest::newRow("byte-order mark, trailing blank and CR CR LF") << editor::withByteOrderMark(
        editor::trailingOnFirstDataLine(editor::withLineEnds(clean, "\r\r\n"), " "))
                                                                  << int(Loads) << a + b + c << ok;

    // Files cut short or saved in another encoding are refused; indented
    // records are records.
    QTest::newRow("cut at a line end: no end-of-file record")
        << editor::cutAtLineEnd(hexFile(pattern(1000, 4))) << int(Critical) << none << kNoEnd;
    QTest::newRow("indented first record")
        << editor::intoDataLine(clean, false, 0, "  ") << int(Loads) << a + b + c << ok;
    QTest::newRow("indented last record")
        << editor::intoDataLine(clean, true, 0, "\t") << int(Loads) << a + b + c << ok;
    QTest::newRow("UTF-16 LE with byte-order mark")
        << editor::asUtf16(clean) << int(Critical) << none << kUtf16;
    QTest::newRow("UTF-16 LE without byte-order mark")
        << editor::asUtf16(clean, false) << int(Critical) << none << kUtf16;

    // Lines whose first non-blank character is not a colon are skipped.
    QTest::newRow("leading blank: the record is read, not skipped")
        << lines({" " + dataRecord(0x8000, a), dataRecord(0x8000, b)}) << int(Critical) << none
        << notContiguous(2);
    QTest::newRow("comment, empty line and line of blanks skipped")
        << hexLines({"; comment " + dataRecord(0x8000, c), "", " \t ", dataRecord(0x8000, b)})
        << int(Loads) << b << ok;
    QTest::newRow("record without colon skipped")
        << hexLines({dataRecord(0x8000, a).mid(1), dataRecord(0x8000, b)}) << int(Loads) << b << ok;

    // A line that starts with a colon and is still not a colon and hex digits
    // is refused: skipping it could shift or shorten the image.
    QTest::newRow("blank inside a data line")
        << editor::intoDataLine(clean, false, 11, " ") << int(Critical) << none << formatErrorAt(1);
    QTest::newRow("blank inside the last data line")
        << editor::intoDataLine(clean, true, 20, " ") << int(Critical) << none << formatErrorAt(3);
    QTest::newRow("tab inside a data line")
        << editor::intoDataLine(clean, true, 9, "\t") << int(Critical) << none << formatErrorAt(3);
    QTest::newRow("blank after the colon")
        << lines({dataRecord(0x8000, a), ": " + dataRecord(0x8010, b).mid(1)}) << int(Critical)
        << none << formatErrorAt(2);
    QTest::newRow("non-digit inside a data line")
        << lines({"; made by hand", dataRecord(0x8000, a).replace(12, 1, "G")}) << int(Critical)
        << none << formatErrorAt(2);
    QTest::newRow("blank inside an end-of-file record")
        << lines({dataRecord(0x8000, a), ":00000001 FF"}) << int(Critical) << none
        << formatErrorAt(2);
    QTest::newRow("lone colon") << lines({dataRecord(0x8000, a), ":", dataRecord(0x8010, b)})
                                << int(Critical) << none << formatErrorAt(2);
    QTest::newRow("colon and blanks")
        << lines({dataRecord(0x8000, a), ":  "}) << int(Critical) << none << formatErrorAt(2);
    QTest::newRow("CR inside a line: CR line ends") << editor::withLineEnds(clean, "\r").chopped(1)
                                                    << int(Critical) << none << formatErrorAt(1);
    QTest::newRow("blank inside a line longer than 43 characters")
        << lines({record(0x05, 0, pattern(20)).insert(20, ' '), dataRecord(0x8000, a)})
        << int(Critical) << none << formatErrorAt(1);
    QTest::newRow("long records of other types skipped") << hexLines(
        {record(0x05, 0, pattern(20)), record(0x04, 0, pattern(17)), dataRecord(0x8000, a)})
                                                         << int(Loads) << a << ok;
    QTest::newRow("44-character non-data line skipped")
        << hexLines({record(0x01, 0, pattern(16)) + "0", dataRecord(0x8000, a)}) << int(Loads) << a
        << ok;

    // Malformed considered lines.
    QTest::newRow("data record with wrong checksum")
        << lines({dataRecord(0x8000, a), record(0x00, 0x8010, b, -1, 1)}) << int(Critical) << none
        << formatErrorAt(2);
    QTest::newRow("odd number of digits")
        << lines({QByteArray(":000000000")}) << int(Critical) << none << formatErrorAt(1);
    QTest::newRow("byte count 0x11 on a short line")
        << lines({record(0x00, 0x8000, a, 0x11)}) << int(Critical) << none << formatErrorAt(1);
    QTest::newRow("fewer than four bytes: 2 digits")
        << lines({QByteArray(":00")}) << int(Critical) << none << formatErrorAt(1);
    QTest::newRow("fewer than four bytes: 4 digits")
        << lines({QByteArray(":0000")}) << int(Critical) << none << formatErrorAt(1);
    QTest::newRow("fewer than four bytes: 6 digits")
        << lines({QByteArray(":000000")}) << int(Critical) << none << formatErrorAt(1);
    QTest::newRow("byte count beyond the data present")
        << lines({record(0x00, 0x8000, a.left(8), 16)}) << int(Critical) << none
        << formatErrorAt(1);
    QTest::newRow("byte count below the data present takes the counted bytes")
        << hexLines({record(0x00, 0x8000, a, 4), dataRecord(0x8004, b)}) << int(Loads)
        << a.left(4) + b << ok;
    QTest::newRow("32-byte data records (75 characters)")
        << lines({record(0x00, 0x8000, pattern(32)), record(0x00, 0x8020, pattern(32, 9))})
        << int(Critical) << none << tooLong(1);
    QTest::newRow("17-byte data record (45 characters)")
        << lines({dataRecord(0x8000, a), record(0x00, 0x8010, pattern(17))}) << int(Critical)
        << none << tooLong(2);
    QTest::newRow("44-character data line")
        << lines({dataRecord(0x8000, a) + "0"}) << int(Critical) << none << formatErrorAt(1);

    // Contiguity, with address records applied.
    QTest::newRow("records at 0x0000 and 0x1000 are not contiguous")
        << lines({dataRecord(0x0000, a), dataRecord(0x1000, b)}) << int(Critical) << none
        << notContiguous(2);
    QTest::newRow("record going back is not contiguous")
        << lines({dataRecord(0x8000, a), dataRecord(0x8010, b), dataRecord(0x8000, c)})
        << int(Critical) << none << notContiguous(3);
    QTest::newRow("overlapping record is not contiguous")
        << lines({dataRecord(0x8000, a), dataRecord(0x800F, b)}) << int(Critical) << none
        << notContiguous(2);
    QTest::newRow("line number counts every line") << lines(
        {"; made by hand", "", dataRecord(0x8000, a), endOfFile(), dataRecord(0x9000, b)}, "\r\n")
                                                   << int(Critical) << none << notContiguous(5);
    QTest::newRow("linear address record continues at 64 KiB") << hexLines(
        {linearAddress(0), dataRecord(0xFFF0, a), linearAddress(1), dataRecord(0x0000, b)})
                                                               << int(Loads) << a + b << ok;
    QTest::newRow("segment address record continues at 64 KiB")
        << hexLines({dataRecord(0xFFF0, a), segmentAddress(0x1000), dataRecord(0x0000, b)})
        << int(Loads) << a + b << ok;
    QTest::newRow("segment and linear records mixed")
        << hexLines({segmentAddress(0x0800), dataRecord(0x7FF0, a), linearAddress(1),
                     dataRecord(0x0000, b), segmentAddress(0x1001), dataRecord(0x0000, c)})
        << int(Loads) << a + b + c << ok;
    QTest::newRow("missing linear address record")
        << lines({dataRecord(0xFFF0, a), dataRecord(0x0000, b)}) << int(Critical) << none
        << notContiguous(2);
    QTest::newRow("linear address record skipping 64 KiB")
        << lines({linearAddress(0), dataRecord(0xFFF0, a), linearAddress(2), dataRecord(0x0000, b)})
        << int(Critical) << none << notContiguous(4);
    QTest::newRow("address record with wrong checksum still moves the address")
        << hexLines({dataRecord(0xFFF0, a), record(0x04, 0, QByteArray("\x00\x01", 2), -1, 1),
                     dataRecord(0x0000, b)})
        << int(Loads) << a + b << ok;
    QTest::newRow("address record too short to hold a value is ignored")
        << hexLines({dataRecord(0x8000, a), QByteArray(":02000004"), QByteArray(":0200000400"),
                     dataRecord(0x8010, b)})
        << int(Loads) << a + b << ok;
    QTest::newRow("empty data record does not break the run") << hexLines(
        {dataRecord(0x8000, a), record(0x00, 0x5000, QByteArray()), dataRecord(0x8010, b)})
                                                              << int(Loads) << a + b << ok;

    // The 131072-byte limit.
    const QByteArray full = pattern(0x20000, 7);
    QTest::newRow("exactly 131072 bytes") << hexFile(full) << int(Loads) << full << ok;
    QTest::newRow("131072 bytes from address 0") << hexFile(full, 0) << int(Loads) << full << ok;
    QByteArray oneMore = hexFile(full);
    oneMore.insert(oneMore.lastIndexOf(':'), dataRecord(0x8000, "\x01") + "\n");
    QTest::newRow("one byte more") << oneMore << int(Critical) << none << kTooBig;
    QByteArray crossing = hexFile(full.left(0x20000 - 8));
    crossing.insert(crossing.lastIndexOf(':'), dataRecord(0x7FF8, pattern(16, 3)) + "\n");
    QTest::newRow("a record crossing the limit") << crossing << int(Critical) << none << kTooBig;
}

void TestHexLoader::loadFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, outcome);
    QFETCH(QByteArray, data);
    QFETCH(QString, message);

    const QString path = dir.filePath(QStringLiteral("load.hex"));
    QVERIFY(writeFile(path, content));
    window->imageSize = -12345;
    const LoadRun run = runLoad(*window, path);

    if (outcome == Loads) {
        QVERIFY(run.ok);
        QVERIFY2(run.boxes.isEmpty(), qPrintable(run.boxes.value(0).text));
        QCOMPARE(window->imageSize, data.size());
        const QString diff = imageDifference(imageOf(*window), imageFromData(data));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    } else {
        QVERIFY(!run.ok);
        checkBox(run, QMessageBox::Critical, kLoadError, message);
        QCOMPARE(window->imageSize, -12345);
        QVERIFY(run.debug.isEmpty());
    }
}

void TestHexLoader::unopenableFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    QTest::newRow("no file chosen") << QString() << QStringLiteral("Please choose hex file")
                                    << QStringLiteral("Press \"Choose File\" to select file.");
    QTest::newRow("missing file") << dir.filePath(QStringLiteral("missing.hex")) << kLoadError
                                  << QStringLiteral("File does not exist.");
    QTest::newRow("missing folder") << dir.filePath(QStringLiteral("nowhere/firmware.hex"))
                                    << kLoadError << QStringLiteral("File does not exist.");
    QTest::newRow("a folder") << dir.path() << kLoadError << QStringLiteral("File does not exist.");
}

void TestHexLoader::unopenableFile()
{
    QFETCH(QString, path);
    QFETCH(QString, title);
    QFETCH(QString, text);

    std::memset(window->image, 0x00, sizeof window->image);
    window->imageSize = 77;
    const LoadRun run = runLoad(*window, path);
    QVERIFY(!run.ok);
    checkBox(run, QMessageBox::Warning, title, text);
    QCOMPARE(window->imageSize, 77);
    QCOMPARE(imageOf(*window), QByteArray(kImageBytes, char(0xFF)));
}

void TestHexLoader::checksumWordAndDebugLine_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("word"); // bytes 28..31
    QTest::addColumn<QString>("line");

    QTest::newRow("no data: seven words of 0xFF")
        << QByteArray() << QByteArray::fromHex("07000000") << QStringLiteral("00000007");
    QTest::newRow("4 bytes: six words of 0xFF take part")
        << QByteArray::fromHex("01000000") << QByteArray::fromHex("05000000")
        << QStringLiteral("00000005");
    // Words 1, 2, ..., 7 and garbage at 28..31: the word is -28.
    QByteArray words;
    for (int i = 1; i <= 7; ++i)
        words += QByteArray::fromHex(QByteArray::number(i, 16).rightJustified(2, '0') + "000000");
    QTest::newRow("file data at 28..31 is replaced")
        << words + QByteArray::fromHex("AABBCCDD") + pattern(8) << QByteArray::fromHex("E4FFFFFF")
        << QStringLiteral("FFFFFFE4");
    QTest::newRow("carry across bytes")
        << QByteArray::fromHex("00000080000000800000000100000000000000000000000000000000")
        << QByteArray::fromHex("000000FF") << QStringLiteral("FF000000");
}

void TestHexLoader::checksumWordAndDebugLine()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, word);
    QFETCH(QString, line);

    const QString path = dir.filePath(QStringLiteral("checksum.hex"));
    QVERIFY(writeFile(path, hexFile(data)));
    const LoadRun run = runLoad(*window, path);
    QVERIFY(run.ok);
    QCOMPARE(imageOf(*window).mid(28, 4), word);
    QCOMPARE(run.debug, QStringList{line});

    quint32 sum = 0;
    for (int i = 0; i < 32; i += 4)
        sum += quint32(window->image[i]) | quint32(window->image[i + 1]) << 8
               | quint32(window->image[i + 2]) << 16 | quint32(window->image[i + 3]) << 24;
    QCOMPARE(sum, 0u);
}

void TestHexLoader::eachLoadStartsAfresh()
{
    const QString big = dir.filePath(QStringLiteral("big.hex"));
    const QString small = dir.filePath(QStringLiteral("small.hex"));
    const QString bad = dir.filePath(QStringLiteral("bad.hex"));
    QVERIFY(writeFile(big, hexFile(pattern(5000, 4))));
    QVERIFY(writeFile(small, hexFile(pattern(40, 5))));
    QVERIFY(writeFile(bad, hexFile(pattern(64, 6)) + record(0x00, 0x8040, pattern(16), -1, 1)));

    QVERIFY(runLoad(*window, big).ok);
    QCOMPARE(window->imageSize, 5000);

    // Nothing of the bigger image survives.
    QVERIFY(runLoad(*window, small).ok);
    QCOMPARE(window->imageSize, 40);
    QString diff = imageDifference(imageOf(*window), imageFromData(pattern(40, 5)));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // A failed load leaves imageSize alone; the image holds the fill and the
    // data placed before the failure.
    const LoadRun run = runLoad(*window, bad);
    QVERIFY(!run.ok);
    checkBox(run, QMessageBox::Critical, kLoadError, formatErrorAt(7));
    QCOMPARE(window->imageSize, 40);
    QByteArray partial(kImageBytes, char(0xFF));
    partial.replace(0, 64, pattern(64, 6));
    diff = imageDifference(imageOf(*window), partial);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestHexLoader::nonAsciiPath()
{
    const QString folder = dir.filePath(QStringLiteral("F\u00edrmw\u00e4re \u00fc"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/M\u00f6dul \u00df \u65e5\u672c.hex");
    const QByteArray data = pattern(300, 8);
    QVERIFY(writeFile(path, hexFile(data)));

    const LoadRun run = runLoad(*window, path);
    QVERIFY2(run.ok, qPrintable(run.boxes.value(0).text));
    QCOMPARE(window->imageSize, 300);
    const QString diff = imageDifference(imageOf(*window), imageFromData(data));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

QRIO_TEST_MAIN(TestHexLoader)
#include "tst_hexloader.moc"
