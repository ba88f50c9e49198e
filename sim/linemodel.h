#pragma once
// What a real line costs each record: the serial line between the computer
// and the adapter, the CAN bus between the adapter and the node, and the
// adapter's own latency in passing received bytes on. The simulated adapter
// holds each reply back by that much, so that whole updates can be timed as
// they would run on such a line. Every part is off (0) by default and then
// costs nothing.
//
// Plain C++ (no Qt).

#include <chrono>
#include <cstddef>

namespace nodesim {

struct LineModel
{
    long baud = 0;            // serial line, bits per second; 0: no time
    long canBitrate = 0;      // CAN bus, bits per second; 0: no time
    int adapterLatencyMs = 0; // before the adapter passes a record to the computer
};

// The time a record of `recordBytes` bytes (the serial record: 2-byte
// identifier, length byte, data) takes from the computer to the node: its
// bytes on the serial line, then its frame on the bus.
std::chrono::nanoseconds toNode(const LineModel &line, std::size_t recordBytes);

// The time a record of `recordBytes` bytes takes from the node to the
// computer: its frame on the bus, its bytes on the serial line, and the
// adapter's latency.
std::chrono::nanoseconds fromNode(const LineModel &line, std::size_t recordBytes);

} // namespace nodesim
