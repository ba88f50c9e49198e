#pragma once
// A CAN frame as the adapter carries it on the serial line: identifier (two
// bytes, least significant first), length, data. No start marker, no
// checksum: receivers keep in step by counting bytes.

#include <cstddef>
#include <cstdint>

namespace SerialCanFrame {

constexpr std::size_t HeadSize = 3;
constexpr std::size_t SdoRecordSize = 11;  // SDO request and reply
constexpr std::size_t GuardRecordSize = 4; // error-control frame, one data byte
constexpr std::size_t SdoDataOffset = 7;   // the four data bytes of an SDO record

constexpr std::uint16_t SdoRequestBase = 0x600;
constexpr std::uint16_t SdoReplyBase = 0x580;
constexpr std::uint16_t ErrorControlBase = 0x700;

constexpr std::uint8_t SdoDownloadRequest = 0x23; // expedited, four bytes
constexpr std::uint8_t SdoUploadRequest = 0x40;
constexpr std::uint8_t SdoDownloadConfirm = 0x60;
constexpr std::uint8_t SdoUploadAnswer = 0x43;
constexpr std::uint8_t SdoAbort = 0x80;

inline void putHead(std::uint8_t *record, std::uint16_t identifier, std::uint8_t length)
{
    record[0] = static_cast<std::uint8_t>(identifier & 0xFF);
    record[1] = static_cast<std::uint8_t>(identifier >> 8);
    record[2] = length;
}

// 11-byte SDO request to `nodeId` (its low byte) with the four data bytes
// taken in the order they lie at `data` (null: four zero bytes).
inline void buildSdoRequest(std::uint8_t *record, int nodeId, std::uint8_t command,
                            std::uint16_t index, std::uint8_t subIndex, const std::uint8_t *data)
{
    record[0] = static_cast<std::uint8_t>(nodeId & 0xFF);
    record[1] = static_cast<std::uint8_t>(SdoRequestBase >> 8);
    record[2] = 8;
    record[3] = command;
    record[4] = static_cast<std::uint8_t>(index & 0xFF);
    record[5] = static_cast<std::uint8_t>(index >> 8);
    record[6] = subIndex;
    for (std::size_t i = 0; i < 4; ++i)
        record[SdoDataOffset + i] = data ? data[i] : 0;
}

inline std::uint32_t getU32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
           | std::uint32_t(p[3]) << 24;
}

inline void putU32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

} // namespace SerialCanFrame
