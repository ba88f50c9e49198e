// Writes the demo's sample firmware: a deterministic 48 KiB image as an
// Intel HEX file of 16-byte records from the flash base address on.
//
//   make-demo-firmware OUTPUT.hex

#include "canopen/flashgeometry.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

void record(std::FILE *out, unsigned type, unsigned offset, const std::uint8_t *data,
            unsigned count)
{
    unsigned sum = count + (offset >> 8) + (offset & 0xFF) + type;
    std::fprintf(out, ":%02X%04X%02X", count, offset & 0xFFFF, type);
    for (unsigned i = 0; i < count; ++i) {
        std::fprintf(out, "%02X", data[i]);
        sum += data[i];
    }
    std::fprintf(out, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-demo-firmware OUTPUT.hex\n");
        return 2;
    }
    const unsigned size = 48 * 1024;
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = 0x1234567u;
    for (auto &b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    // A vector table's look: initial stack pointer and reset handler.
    const std::uint8_t head[8] = {0x00, 0x20, 0x00, 0x20, 0xC1, 0x80, 0x00, 0x00};
    for (unsigned i = 0; i < 8; ++i)
        image[i] = head[i];

    std::FILE *out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    const unsigned base = FlashGeometry::flashBase;
    unsigned upper = 0;
    for (unsigned i = 0; i < size; i += 16) {
        const unsigned address = base + i;
        if ((address >> 16) != upper) {
            // Extended linear address: the upper 16 bits of what follows.
            upper = address >> 16;
            const std::uint8_t high[2] = {static_cast<std::uint8_t>(upper >> 8),
                                          static_cast<std::uint8_t>(upper)};
            record(out, 4, 0, high, 2);
        }
        record(out, 0, address, &image[i], 16);
    }
    record(out, 1, 0, nullptr, 0);
    return std::fclose(out) == 0 ? 0 : 1;
}
