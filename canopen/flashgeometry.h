#pragma once
// The node's flash as an update sees it: where it starts, how large it is,
// and the blocks it is written and read in, one word per SDO transfer
// through the block data object (docs/protocol.md). Every size of the
// tool's image buffers, the simulated node's flash and the benchmarks
// derives from these.
//
// Plain C++ (no Qt), so that the HEX parser's fuzz target, the simulator,
// the benchmarks and the tests can include it as well.

#include "serialcanframe.h"

#include <cstdint>

namespace FlashGeometry {

constexpr std::uint32_t flashBase = 0x8000; // flash address of image byte 0
constexpr int flashSize = 128 * 1024;       // bytes: 131072, 0x20000
constexpr int wordSize = 4;                 // bytes of one word: one SDO transfer's data
constexpr int wordsPerBlock = 64;
constexpr int blockSize = wordsPerBlock * wordSize; // bytes: 256
constexpr int blockCount = flashSize / blockSize;   // 512

// The block data object's sub-index of a block's first word; word k of the
// block has sub-index firstWordSubIndex + k.
constexpr std::uint8_t firstWordSubIndex = 0;

static_assert(wordSize == int(SerialCanFrame::SdoDataSize), "one word is one SDO transfer's data");
static_assert(flashSize % blockSize == 0, "the flash is a whole number of blocks");
static_assert(flashBase % blockSize == 0, "blocks start at multiples of the block size");
static_assert(firstWordSubIndex + wordsPerBlock - 1 <= 0xFF,
              "every word of a block has a sub-index");

// Blocks that `bytes` image bytes take, the last one perhaps partly filled.
constexpr int blocksFor(int bytes)
{
    return (bytes + blockSize - 1) / blockSize;
}

// Whether the block data object has this sub-index: one of a block's words.
constexpr bool isWordSubIndex(int subIndex)
{
    return subIndex >= firstWordSubIndex && subIndex < firstWordSubIndex + wordsPerBlock;
}

} // namespace FlashGeometry
