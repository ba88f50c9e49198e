#pragma once
// A CAN frame as the adapter carries it on the serial line: identifier (two
// bytes, least significant first), length, data. No start marker, no
// checksum: a receiver cuts records by their length byte, and a head that no
// CAN frame can have tells it the line is out of step. The records and how
// an update uses them are described in docs/protocol.md.
//
// Plain C++ (no Qt): the tool, the simulated node, the benchmarks' ideal
// client and the tests all build and take apart records with these
// definitions.

#include <cstddef>
#include <cstdint>

namespace SerialCanFrame {

// The head: identifier at 0 and 1, the length of the data at 2.
constexpr std::size_t HeadSize = 3;
constexpr std::size_t LengthOffset = 2;
constexpr std::size_t MaxDataLength = 8;       // a CAN frame carries no more
constexpr std::uint16_t MaxIdentifier = 0x7FF; // identifiers have 11 bits
constexpr std::size_t MaxRecordSize = HeadSize + MaxDataLength;

// SDO request and reply: the head, then command byte, object index (two
// bytes), sub-index and four data bytes.
constexpr std::uint8_t SdoLength = 8;
constexpr std::size_t SdoRecordSize = HeadSize + SdoLength; // 11
constexpr std::size_t SdoCommandOffset = 3;
constexpr std::size_t SdoIndexOffset = 4;
constexpr std::size_t SdoSubIndexOffset = 6;
constexpr std::size_t SdoDataOffset = 7;
constexpr std::size_t SdoDataSize = 4;
static_assert(SdoDataOffset + SdoDataSize == SdoRecordSize, "the data bytes end the SDO record");

// Error-control frame (the guard record): the head and the node's state.
constexpr std::size_t GuardRecordSize = HeadSize + 1; // 4
constexpr std::size_t GuardStateOffset = 3;
constexpr std::uint8_t BootUpState = 0x00; // the state a node announces when it starts

// Identifiers are these bases plus the node ID.
constexpr std::uint16_t SdoRequestBase = 0x600;
constexpr std::uint16_t SdoReplyBase = 0x580;
constexpr std::uint16_t ErrorControlBase = 0x700;

// Command bytes: the client's two requests, then the node's three answers.
constexpr std::uint8_t SdoDownloadRequest = 0x23; // expedited, four bytes
constexpr std::uint8_t SdoUploadRequest = 0x40;
constexpr std::uint8_t SdoDownloadConfirm = 0x60;
constexpr std::uint8_t SdoUploadAnswer = 0x43;
constexpr std::uint8_t SdoAbort = 0x80;

inline std::uint16_t getU16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t getU32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
           | std::uint32_t(p[3]) << 24;
}

// Whether the three bytes at `head` can start a record: an identifier of 11
// bits and no more than 8 data bytes. A receiver that finds otherwise is out
// of step (a stray byte, a record cut short) and drops one byte.
inline bool isFrameHead(const std::uint8_t *head)
{
    return getU16(head) <= MaxIdentifier && head[LengthOffset] <= MaxDataLength;
}

inline void putU32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void putHead(std::uint8_t *record, std::uint16_t identifier, std::uint8_t length)
{
    record[0] = static_cast<std::uint8_t>(identifier & 0xFF);
    record[1] = static_cast<std::uint8_t>(identifier >> 8);
    record[LengthOffset] = length;
}

// Command byte, object index and sub-index of an SDO record whose head is
// already in place.
inline void putSdoAddress(std::uint8_t *record, std::uint8_t command, std::uint16_t index,
                          std::uint8_t subIndex)
{
    record[SdoCommandOffset] = command;
    record[SdoIndexOffset] = static_cast<std::uint8_t>(index & 0xFF);
    record[SdoIndexOffset + 1] = static_cast<std::uint8_t>(index >> 8);
    record[SdoSubIndexOffset] = subIndex;
}

// 11-byte SDO request to `nodeId` (its low byte) with the four data bytes
// taken in the order they lie at `data` (null: four zero bytes). Byte 1 is
// the request identifier's high byte whatever the node ID.
inline void buildSdoRequest(std::uint8_t *record, int nodeId, std::uint8_t command,
                            std::uint16_t index, std::uint8_t subIndex, const std::uint8_t *data)
{
    record[0] = static_cast<std::uint8_t>(nodeId & 0xFF);
    record[1] = static_cast<std::uint8_t>(SdoRequestBase >> 8);
    record[LengthOffset] = SdoLength;
    putSdoAddress(record, command, index, subIndex);
    for (std::size_t i = 0; i < SdoDataSize; ++i)
        record[SdoDataOffset + i] = data ? data[i] : 0;
}

// 11-byte SDO reply of node `nodeId` (1 to 127) carrying `value`.
inline void buildSdoReply(std::uint8_t *record, int nodeId, std::uint8_t command,
                          std::uint16_t index, std::uint8_t subIndex, std::uint32_t value)
{
    putHead(record, static_cast<std::uint16_t>(SdoReplyBase + nodeId), SdoLength);
    putSdoAddress(record, command, index, subIndex);
    putU32(record + SdoDataOffset, value);
}

} // namespace SerialCanFrame
