#pragma once
// Intel HEX reading without Qt: the record decoder, the image loader and the
// vector-table checksum. The window's loader (hexloader.cpp) wraps this with
// file access and message boxes; the fuzz target builds it on its own.

#include "canopen/flashgeometry.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace HexParser {

constexpr int kMaxConsideredLength = 43; // ':' + 42 digits: a record with 16 data bytes
constexpr int kDecodeCapacity = 512;     // bytes one line may decode to
constexpr int kMaxDataBytes = 16;        // data bytes of one data record
constexpr int kChecksumOffset = 28;      // image bytes 28..31 hold the vector checksum

// '0'-'9', 'A'-'F', 'a'-'f' -> 0..15; anything else throws
// std::invalid_argument("Invalid input string").
int hexCharToInt(char c);

// Decodes the digit pairs after the first character of `line` into `buffer`,
// high digit first. Returns the number of bytes, or -1 when the line has an odd
// number of digits or more bytes than `capacity`. A character that is not a
// hexadecimal digit throws as hexCharToInt does.
int hexStringToBytes(const std::string &line, std::uint8_t *buffer, int capacity);

// Checks one line (without its line end). True: a valid record; `length` is
// the number of data bytes copied to `data` (room for kMaxDataBytes), 0 for any
// record that is not a data record. False: the line is too short to hold a
// record type, or it is a data record with more than 16 data bytes, with a
// byte count beyond the bytes present, or with a wrong checksum.
bool parseHexRecord(const std::string &line, std::uint8_t *data, int &length);

// Stores at bytes 28..31 the little-endian word that makes the eight words at
// bytes 0..31 add up to 0 (mod 2^32), and returns it. loadImage does this on
// every successful load; the image it leaves is the one written and compared.
std::uint32_t setVectorChecksum(std::uint8_t *image);

enum class LoadStatus {
    Ok,
    FormatError,   // malformed record or bad checksum
    DataTooLong,   // a data record with more than kMaxDataBytes data bytes
    TooBig,        // data beyond the flash size (FlashGeometry::flashSize bytes)
    NotContiguous, // a data record does not continue where the previous one ended
    NotHexDigits,  // a record line is not ':' and hexadecimal digits
    NoEndOfFile,   // no end-of-file record: the file is most likely cut short
    Utf16Text,     // the text is UTF-16, which holds no record the loader can read
};

struct LoadResult
{
    LoadStatus status = LoadStatus::Ok;
    int line = 0;               // 1-based line of the failure; 0 on success and
                                // for NoEndOfFile and Utf16Text (the whole file)
    int size = 0;               // data bytes placed in the image (valid on success)
    std::uint32_t checksum = 0; // the word stored at bytes 28..31 (on success), for the log
};

// Loads the text of a HEX file into `image` (FlashGeometry::flashSize bytes,
// image byte k goes to flash address flashBase + k): fills it
// with 0xFF, packs the data of all data records from byte 0 on in file order,
// and on success stores the vector checksum. Text starting with a UTF-16
// byte-order mark or with a NUL among its first two bytes is refused as
// Utf16Text. Lines end at LF; a UTF-8 byte-order mark at the start of the text,
// blanks and tabs at the start and blanks, tabs and CRs at the end of a line
// are ignored. A line that then starts with ':' is a record line and must be
// ':' and hexadecimal digits only (else NotHexDigits); other lines are
// skipped. Record lines over 43 characters are skipped, except data records
// (DataTooLong when their byte count is over 16, else FormatError). Extended
// segment (02) and linear (04) address records only serve to check that data
// is contiguous. The text must hold an end-of-file record (01) of at most 43
// characters, else NoEndOfFile; records after it are still loaded.
LoadResult loadImage(const char *text, std::size_t length, std::uint8_t *image);
LoadResult loadImage(std::istream &in, std::uint8_t *image);

} // namespace HexParser
