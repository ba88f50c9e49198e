#pragma once
// The node's objects and the keys that accompany its commands.

#include <cstdint>

namespace NodeObjects {

constexpr std::uint16_t commandObject = 0x5100;
constexpr std::uint16_t modeObject = 0x5101;
constexpr std::uint16_t blockDataObject = 0x5102;

// Sub-indices of commandObject.
constexpr std::uint8_t cmdBootStep1 = 1;
constexpr std::uint8_t cmdBootStep2 = 2;
constexpr std::uint8_t cmdUserMode = 3;
constexpr std::uint8_t cmdFirmwareMark = 4;
constexpr std::uint8_t cmdStoreBlock = 6;
constexpr std::uint8_t cmdLoadBlock = 7;
constexpr std::uint8_t cmdFlashKey = 8;

constexpr std::uint32_t commandKey = 0x3A9C51E7;
constexpr std::uint32_t flashKey = 0x5E3B90C4;

// modeWord values read from modeObject sub-index 0.
constexpr std::uint32_t modeBoot = 0x626F6F74; // 'boot'
constexpr std::uint32_t modeNorm = 0x6E6F726D; // 'norm'

constexpr std::uint32_t flashBase = 0x8000;
constexpr int blockSize = 256;
constexpr int wordsPerBlock = 64;
constexpr int imageCapacity = 0x20000; // 131072 bytes, 512 blocks

} // namespace NodeObjects
