#include "linemodel.h"

#include "canopen/serialcanframe.h"

namespace nodesim {

namespace {

// A standard (11-bit identifier) data frame: start of frame 1, identifier 11,
// RTR 1, IDE 1, r0 1, length 4, data, CRC 15, CRC delimiter 1, ACK slot and
// delimiter 2, end of frame 7; then the 3-bit pause before the next frame.
constexpr long kFrameBitsBesideData = 1 + 11 + 1 + 1 + 1 + 4 + 15 + 1 + 2 + 7 + 3; // 47
// The bits from the start of frame to the end of the CRC are bit-stuffed: a
// bit of opposite level after five equal ones.
constexpr long kStuffedBitsBesideData = 1 + 11 + 1 + 1 + 1 + 4 + 15; // 34

std::chrono::nanoseconds timeOf(long bits, long bitsPerSecond)
{
    if (bitsPerSecond <= 0)
        return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<long long>(bits) * 1000000000LL / bitsPerSecond);
}

std::size_t dataBytesOf(std::size_t recordBytes)
{
    return recordBytes > SerialCanFrame::HeadSize ? recordBytes - SerialCanFrame::HeadSize : 0;
}

long serialBits(std::size_t recordBytes)
{
    // start bit, 8 data bits, stop bit (8N1)
    return long(recordBytes) * 10;
}

long canFrameBits(std::size_t dataBytes)
{
    const long stuffed = kStuffedBitsBesideData + 8 * long(dataBytes);
    // The most stuff bits a frame can need: the stuff bit itself starts the
    // next run of five, so one in every four bits after the first. Real
    // frames need fewer: the model errs on the slow side.
    const long stuffBits = (stuffed - 1) / 4;
    return kFrameBitsBesideData + 8 * long(dataBytes) + stuffBits;
}

} // namespace

std::chrono::nanoseconds toNode(const LineModel &line, std::size_t recordBytes)
{
    return timeOf(serialBits(recordBytes), line.baud)
           + timeOf(canFrameBits(dataBytesOf(recordBytes)), line.canBitrate);
}

std::chrono::nanoseconds fromNode(const LineModel &line, std::size_t recordBytes)
{
    return timeOf(canFrameBits(dataBytesOf(recordBytes)), line.canBitrate)
           + timeOf(serialBits(recordBytes), line.baud)
           + std::chrono::milliseconds(line.adapterLatencyMs > 0 ? line.adapterLatencyMs : 0);
}

} // namespace nodesim
