// Fuzz target for the HEX loader core (libFuzzer entry point). Besides
// "no crash", every input is checked against:
//  - the image invariants of a load: size within the image, 0xFF past the
//    data (apart from the checksum word), eight words at 0..31 adding to 0;
//  - a plain reference loader built from the line-at-a-time functions
//    (parseHexRecord, hexStringToBytes) and the regular-expression line filter
//    (UTF-16 text refused first; after the byte-order mark, leading blanks
//    and tabs and trailing blanks, tabs and CRs are taken off, a line that
//    starts with ':' and fails the filter is refused; no end-of-file record
//    is a failure), which must agree with the optimised loader on result,
//    line, size and every image byte;
//  - the record and digit functions on their own, fed arbitrary text.
// Any violation aborts, which the fuzzer reports with the input.

#include "firmware/hexparser.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

using HexParser::LoadResult;
using HexParser::LoadStatus;

bool considered(const std::string &line)
{
    // The filter as written: a colon and one or more hex digits over the
    // whole line. Very long lines are checked by hand: the regex engine
    // recurses per character.
    if (line.size() <= 256) {
        static const std::regex filter("^:[0-9a-fA-F]+", std::regex::ECMAScript);
        return std::regex_match(line, filter);
    }
    if (line[0] != ':')
        return false;
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(line[i])))
            return false;
    }
    return true;
}

LoadResult fail(LoadStatus status, int line)
{
    LoadResult r;
    r.status = status;
    r.line = line;
    return r;
}

LoadResult referenceLoad(const std::string &text, std::uint8_t *image)
{
    std::memset(image, 0xFF, FlashGeometry::flashSize);
    int offset = 0;
    int lineNumber = 0;
    std::uint64_t base = 0;
    std::uint64_t next = 0;
    bool haveData = false;
    bool haveEnd = false;
    if (text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0
        || (text.size() >= 2 && text.find('\0') < 2))
        return fail(LoadStatus::Utf16Text, 0);
    std::size_t pos = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    while (pos < text.size()) {
        const std::size_t lf = text.find('\n', pos);
        std::string line = text.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
        pos = lf == std::string::npos ? text.size() : lf + 1;
        const std::size_t kept = line.find_last_not_of(" \t\r");
        line.erase(kept == std::string::npos ? 0 : kept + 1);
        line.erase(0, line.find_first_not_of(" \t"));
        ++lineNumber;

        if (line.empty() || line[0] != ':')
            continue;
        if (!considered(line))
            return fail(LoadStatus::NotHexDigits, lineNumber);
        if (line.size() > 43) {
            if (HexParser::hexCharToInt(line[7]) * 16 + HexParser::hexCharToInt(line[8]) == 0) {
                const int count =
                    HexParser::hexCharToInt(line[1]) * 16 + HexParser::hexCharToInt(line[2]);
                return fail(count > 16 ? LoadStatus::DataTooLong : LoadStatus::FormatError,
                            lineNumber);
            }
            continue;
        }
        std::uint8_t data[16];
        int length = -1;
        if (!HexParser::parseHexRecord(line, data, length))
            return fail(LoadStatus::FormatError, lineNumber);
        FUZZ_CHECK(length >= 0 && length <= 16);

        std::uint8_t bytes[512];
        const int n = HexParser::hexStringToBytes(line, bytes, 512);
        FUZZ_CHECK(n >= 4);
        if (bytes[3] == 1)
            haveEnd = true;
        if (bytes[3] != 0) {
            FUZZ_CHECK(length == 0);
            if ((bytes[3] == 2 || bytes[3] == 4) && n >= 7) {
                const std::uint64_t value = bytes[4] * 256u + bytes[5];
                base = bytes[3] == 2 ? value * 16 : value * 65536;
            }
            continue;
        }
        FUZZ_CHECK(length == bytes[0]);
        FUZZ_CHECK(std::memcmp(data, bytes + 4, static_cast<std::size_t>(length)) == 0);
        if (length == 0)
            continue;
        const std::uint64_t address = base + bytes[1] * 256u + bytes[2];
        if (haveData && address != next)
            return fail(LoadStatus::NotContiguous, lineNumber);
        haveData = true;
        next = address + static_cast<std::uint64_t>(length);
        if (offset + length > FlashGeometry::flashSize)
            return fail(LoadStatus::TooBig, lineNumber);
        std::memcpy(image + offset, data, static_cast<std::size_t>(length));
        offset += length;
    }
    if (!haveEnd)
        return fail(LoadStatus::NoEndOfFile, 0);
    LoadResult r;
    r.size = offset;
    r.checksum = HexParser::setVectorChecksum(image);
    return r;
}

std::uint32_t le32(const std::uint8_t *p)
{
    return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16
           | static_cast<std::uint32_t>(p[3]) << 24;
}

void checkLoad(const std::uint8_t *input, std::size_t size)
{
    static std::vector<std::uint8_t> image(FlashGeometry::flashSize);
    static std::vector<std::uint8_t> reference(FlashGeometry::flashSize);

    const char *text = reinterpret_cast<const char *>(input);
    const LoadResult result = HexParser::loadImage(text, size, image.data());

    if (result.status == LoadStatus::Ok) {
        FUZZ_CHECK(result.line == 0);
        FUZZ_CHECK(result.size >= 0 && result.size <= FlashGeometry::flashSize);
        static const std::vector<std::uint8_t> fill(FlashGeometry::flashSize, 0xFF);
        const auto isFill = [&](int from, int to) {
            return from >= to
                   || std::memcmp(image.data() + from, fill.data(),
                                  static_cast<std::size_t>(to - from))
                          == 0;
        };
        if (result.size < 28)
            FUZZ_CHECK(isFill(result.size, 28));
        FUZZ_CHECK(isFill(result.size < 32 ? 32 : result.size, FlashGeometry::flashSize));
        std::uint32_t sum = 0;
        for (int i = 0; i < 32; i += 4)
            sum += le32(image.data() + i);
        FUZZ_CHECK(sum == 0);
        FUZZ_CHECK(le32(image.data() + 28) == result.checksum);
    } else if (result.status == LoadStatus::NoEndOfFile || result.status == LoadStatus::Utf16Text) {
        FUZZ_CHECK(result.line == 0); // a failure of the whole file
    } else {
        FUZZ_CHECK(result.line >= 1);
    }

    const LoadResult expected = referenceLoad(std::string(text, size), reference.data());
    FUZZ_CHECK(result.status == expected.status);
    FUZZ_CHECK(result.line == expected.line);
    if (result.status == LoadStatus::Ok) {
        FUZZ_CHECK(result.size == expected.size);
        FUZZ_CHECK(result.checksum == expected.checksum);
    }
    // On failure too: the fill and the data placed before the failing line.
    FUZZ_CHECK(image == reference);
}

// The line-at-a-time functions on the first line, whatever it holds.
void checkRecordFunctions(const std::uint8_t *input, std::size_t size)
{
    const char *text = reinterpret_cast<const char *>(input);
    const char *lf = size > 0 ? static_cast<const char *>(std::memchr(text, '\n', size)) : nullptr;
    const std::string line(text, lf ? static_cast<std::size_t>(lf - text) : size);

    // A buffer of exactly the capacity, so an overrun is seen by the sanitizer.
    const int capacity = size > 0 ? input[size - 1] % 32 : 0;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(capacity));
    try {
        const int n = HexParser::hexStringToBytes(line, buffer.data(), capacity);
        FUZZ_CHECK(n >= -1 && n <= capacity);
        FUZZ_CHECK(n == -1 || static_cast<std::size_t>(n) == (line.size() - 1) / 2);
    } catch (const std::invalid_argument &e) {
        FUZZ_CHECK(std::strcmp(e.what(), "Invalid input string") == 0);
    }

    std::uint8_t data[HexParser::kMaxDataBytes];
    int length = -1;
    try {
        if (HexParser::parseHexRecord(line, data, length))
            FUZZ_CHECK(length >= 0 && length <= HexParser::kMaxDataBytes);
    } catch (const std::invalid_argument &e) {
        FUZZ_CHECK(std::strcmp(e.what(), "Invalid input string") == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    checkLoad(data, size);
    checkRecordFunctions(data, size);
    return 0;
}
