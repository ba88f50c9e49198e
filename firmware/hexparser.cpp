// Intel HEX reading without Qt (hexparser.h): digits, records, the image
// and its vector-table checksum.

#include "hexparser.h"

#include <array>
#include <cstring>
#include <istream>
#include <iterator>
#include <stdexcept>

namespace HexParser {

namespace {

// Value of each character as a hexadecimal digit, -1 for the others.
constexpr std::array<std::int8_t, 256> makeDigitTable()
{
    std::array<std::int8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        if (c >= '0' && c <= '9')
            table[c] = static_cast<std::int8_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            table[c] = static_cast<std::int8_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            table[c] = static_cast<std::int8_t>(c - 'a' + 10);
        else
            table[c] = -1;
    }
    return table;
}

constexpr std::array<std::int8_t, 256> kDigit = makeDigitTable();

inline int digitValue(char c)
{
    return kDigit[static_cast<unsigned char>(c)];
}

[[noreturn]] void throwInvalidDigit()
{
    throw std::invalid_argument("Invalid input string");
}

// hexStringToBytes on a character range.
int decode(const char *line, std::size_t length, std::uint8_t *buffer, int capacity)
{
    if (length % 2 == 0)
        return -1;
    const std::size_t count = (length - 1) / 2;
    if (capacity < 0 || count > static_cast<std::size_t>(capacity))
        return -1;
    for (std::size_t i = 0; i < count; ++i) {
        const int high = digitValue(line[2 * i + 1]);
        const int low = digitValue(line[2 * i + 2]);
        if (high < 0 || low < 0)
            throwInvalidDigit();
        buffer[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return static_cast<int>(count);
}

// The checks of parseHexRecord on the decoded bytes of one line.
bool checkRecord(const std::uint8_t *bytes, int decoded, std::uint8_t *data, int &length)
{
    length = 0;
    if (decoded < 4) // no record type
        return false;
    if (bytes[3] != 0x00)
        return true; // not a data record: accepted, contributes nothing
    const int count = bytes[0];
    if (count > kMaxDataBytes)
        return false;
    std::uint8_t sum = 0;
    for (int i = 0; i < decoded; ++i)
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    if (sum != 0)
        return false;
    // Byte count, two address bytes, record type, data, checksum: a count
    // beyond the data present would take bytes the line does not have.
    if (count > decoded - 5)
        return false;
    std::memcpy(data, bytes + 4, static_cast<std::size_t>(count));
    length = count;
    return true;
}

// A colon followed by one or more hexadecimal digits, and nothing else.
inline bool isHexLine(const char *line, std::size_t length)
{
    if (length < 2 || line[0] != ':')
        return false;
    for (std::size_t i = 1; i < length; ++i) {
        if (kDigit[static_cast<unsigned char>(line[i])] < 0)
            return false;
    }
    return true;
}

// Editors indent lines and leave blanks, tabs and CRs at line ends; they
// carry nothing.
inline bool isLeadingSpace(char c)
{
    return c == ' ' || c == '\t';
}

inline bool isTrailingSpace(char c)
{
    return isLeadingSpace(c) || c == '\r';
}

// Notepad's "Unicode" is UTF-16: a byte-order mark, or without one a NUL
// beside the first character. No 8-bit HEX text starts like that, and read
// as 8-bit text it holds no record, so it would pass for a file without data.
inline bool isUtf16(const char *text, std::size_t length)
{
    if (length < 2)
        return false;
    const auto first = static_cast<unsigned char>(text[0]);
    const auto second = static_cast<unsigned char>(text[1]);
    return (first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF) || first == 0
           || second == 0;
}

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF"; // UTF-8, as some editors save
constexpr std::size_t kByteOrderMarkLength = sizeof kByteOrderMark - 1;

inline std::uint32_t readLe32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
           | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

LoadResult failure(LoadStatus status, int line)
{
    LoadResult result;
    result.status = status;
    result.line = line;
    return result;
}

} // namespace

int hexCharToInt(char c)
{
    const int value = digitValue(c);
    if (value < 0)
        throwInvalidDigit();
    return value;
}

int hexStringToBytes(const std::string &line, std::uint8_t *buffer, int capacity)
{
    return decode(line.data(), line.size(), buffer, capacity);
}

bool parseHexRecord(const std::string &line, std::uint8_t *data, int &length)
{
    std::uint8_t bytes[kDecodeCapacity];
    const int decoded = decode(line.data(), line.size(), bytes, kDecodeCapacity);
    if (decoded < 0) {
        length = 0;
        return false;
    }
    return checkRecord(bytes, decoded, data, length);
}

std::uint32_t setVectorChecksum(std::uint8_t *image)
{
    std::uint32_t sum = 0;
    for (int i = 0; i < kChecksumOffset; i += 4)
        sum += readLe32(image + i);
    const std::uint32_t word = 0u - sum;
    for (int i = 0; i < 4; ++i)
        image[kChecksumOffset + i] = static_cast<std::uint8_t>(word >> (8 * i));
    return word;
}

LoadResult loadImage(const char *text, std::size_t length, std::uint8_t *image)
{
    std::memset(image, 0xFF, FlashGeometry::flashSize);

    int offset = 0;
    int lineNumber = 0;
    // Absolute address of the data: base from the last 02/04 record plus the
    // record's load offset. Wide enough that no address wraps.
    std::uint64_t base = 0;
    std::uint64_t nextAddress = 0; // where the next data record has to start
    bool haveData = false;

    // A file cut at a line end (a copy still being written, an interrupted
    // download) reads as a good but short one; only its missing last record
    // tells.
    bool haveEnd = false;

    std::uint8_t bytes[kMaxConsideredLength / 2];
    std::uint8_t data[kMaxDataBytes];

    if (isUtf16(text, length))
        return failure(LoadStatus::Utf16Text, 0);
    const char *p = text;
    const char *const end = text + length;
    if (length >= kByteOrderMarkLength && std::memcmp(p, kByteOrderMark, kByteOrderMarkLength) == 0)
        p += kByteOrderMarkLength;
    while (p < end) {
        const auto *lf =
            static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char *line = p;
        std::size_t n = static_cast<std::size_t>((lf ? lf : end) - p);
        p = lf ? lf + 1 : end;
        ++lineNumber;
        while (n > 0 && isTrailingSpace(line[n - 1]))
            --n;
        while (n > 0 && isLeadingSpace(line[0])) {
            ++line;
            --n;
        }

        // Comments and empty lines are skipped. A line that starts like a
        // record but is not one cannot be skipped: as the first or last data
        // line it would shift or shorten the image unnoticed.
        if (n == 0 || line[0] != ':')
            continue;
        if (!isHexLine(line, n))
            return failure(LoadStatus::NotHexDigits, lineNumber);
        if (n > static_cast<std::size_t>(kMaxConsideredLength)) {
            // Too long for 16 data bytes. Skipping a data record would lose
            // firmware; other records do not matter.
            if (digitValue(line[7]) == 0 && digitValue(line[8]) == 0) {
                const int count = digitValue(line[1]) * 16 + digitValue(line[2]);
                return failure(count > kMaxDataBytes ? LoadStatus::DataTooLong
                                                     : LoadStatus::FormatError,
                               lineNumber);
            }
            continue;
        }

        const int decoded = decode(line, n, bytes, static_cast<int>(sizeof bytes));
        int count = 0;
        if (decoded < 0 || !checkRecord(bytes, decoded, data, count))
            return failure(LoadStatus::FormatError, lineNumber);

        const int type = bytes[3];
        haveEnd = haveEnd || type == 0x01;
        if (type != 0x00) {
            // Address records are not checked; their value is taken only when
            // the line holds it (count, address, type, two bytes, checksum).
            if ((type == 0x02 || type == 0x04) && decoded >= 7) {
                const std::uint64_t value = static_cast<std::uint64_t>(bytes[4]) << 8 | bytes[5];
                base = type == 0x02 ? value << 4 : value << 16;
            }
            continue;
        }
        if (count == 0)
            continue;

        const std::uint64_t address = base + (static_cast<std::uint64_t>(bytes[1]) << 8 | bytes[2]);
        if (haveData && address != nextAddress)
            return failure(LoadStatus::NotContiguous, lineNumber);
        haveData = true;
        nextAddress = address + static_cast<std::uint64_t>(count);

        if (offset + count > FlashGeometry::flashSize)
            return failure(LoadStatus::TooBig, lineNumber);
        std::memcpy(image + offset, data, static_cast<std::size_t>(count));
        offset += count;
    }
    if (!haveEnd)
        return failure(LoadStatus::NoEndOfFile, 0);

    LoadResult result;
    result.size = offset;
    result.checksum = setVectorChecksum(image);
    return result;
}

LoadResult loadImage(std::istream &in, std::uint8_t *image)
{
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return loadImage(text.data(), text.size(), image);
}

} // namespace HexParser
