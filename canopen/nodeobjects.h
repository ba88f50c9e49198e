#pragma once
// The node's objects, their sub-indices, and the keys and mode words that go
// with them. docs/protocol.md describes how an update uses them; the block
// layout behind blockDataObject is in flashgeometry.h.
//
// Plain C++ (no Qt): the tool, the simulated node, the benchmarks' ideal
// client and the tests share these definitions.

#include <cstdint>

namespace NodeObjects {

constexpr std::uint16_t commandObject = 0x5100;
constexpr std::uint16_t modeObject = 0x5101;
constexpr std::uint16_t blockDataObject = 0x5102;

// Sub-indices of commandObject (5 is not used).
constexpr std::uint8_t cmdBootStep1 = 1; // the node restarts without a reply
constexpr std::uint8_t cmdBootStep2 = 2;
constexpr std::uint8_t cmdUserMode = 3; // the node restarts and sends its boot-up frame
constexpr std::uint8_t cmdFirmwareMark = 4;
constexpr std::uint8_t cmdStoreBlock = 6; // data: the flash address to store the block at
constexpr std::uint8_t cmdLoadBlock = 7;  // data: the flash address of the block to read
constexpr std::uint8_t cmdFlashKey = 8;   // data: flashKey

// The one sub-index of modeObject: read-only, the mode word.
constexpr std::uint8_t modeWordSubIndex = 0;

// Data of the mode commands and the firmware mark, and of cmdFlashKey.
constexpr std::uint32_t commandKey = 0x3A9C51E7;
constexpr std::uint32_t flashKey = 0x5E3B90C4;

// Mode words read from modeObject.
constexpr std::uint32_t modeBoot = 0x626F6F74; // 'boot'
constexpr std::uint32_t modeNorm = 0x6E6F726D; // 'norm'

} // namespace NodeObjects
