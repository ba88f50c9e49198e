#pragma once
// The simulated node's flash: FlashGeometry::flashSize bytes from flashBase,
// erased (0xFF) to begin with, and kept in a file when the node is given one
// so that a demo's firmware survives a restart of the simulator.
//
// Not thread-safe: the node simulator guards it with its own lock.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nodesim {

class FlashStore
{
public:
    FlashStore();
    ~FlashStore();
    FlashStore(const FlashStore &) = delete;
    FlashStore &operator=(const FlashStore &) = delete;

    // Opens (or creates) the file at `path`. The flash takes the file's
    // contents, or, after setContents(), the file takes the flash's; a new or
    // short file gets the erased rest. False, with *error, when the file
    // cannot be opened or read.
    bool open(const std::string &path, std::string *error);
    void close();

    const std::vector<std::uint8_t> &contents() const { return m_flash; }

    // New contents, erased after their end; written to the file at once when
    // one is open, else when open() comes.
    void setContents(const std::vector<std::uint8_t> &contents);

    // One block from flash offset `offset` (a block boundary) into `block`.
    void readBlock(std::size_t offset, std::uint8_t *block) const;

    // Stores one block at flash offset `offset` (a block boundary). The byte
    // at flash offset `invertedOffset`, where it falls in the block, is
    // stored inverted: a flash cell that does not take what it is given.
    void writeBlock(std::size_t offset, const std::uint8_t *block, long invertedOffset);

private:
    void writeFile(std::size_t offset, std::size_t size);

    std::vector<std::uint8_t> m_flash;
    int m_fd = -1;
    bool m_given = false; // setContents() before open(): the file takes these
};

} // namespace nodesim
