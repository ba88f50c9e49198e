#include "flashstore.h"
#include "errnotext.h"

#include "canopen/flashgeometry.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nodesim {

namespace {

constexpr std::size_t kFlashSize = FlashGeometry::flashSize;
constexpr std::size_t kBlockSize = FlashGeometry::blockSize;

} // namespace

FlashStore::FlashStore() : m_flash(kFlashSize, 0xFF) {}

FlashStore::~FlashStore()
{
    close();
}

bool FlashStore::open(const std::string &path, std::string *error)
{
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        *error = errnoText("cannot open flash file " + path);
        return false;
    }
    if (m_given) {
        writeFile(0, kFlashSize);
        return true;
    }
    struct stat st
    {
    };
    if (::fstat(m_fd, &st) != 0) {
        *error = errnoText("cannot read flash file " + path);
        return false;
    }
    const std::size_t have =
        std::min<std::size_t>(std::size_t(std::max<off_t>(st.st_size, 0)), kFlashSize);
    std::size_t done = 0;
    while (done < have) {
        const ssize_t n = ::pread(m_fd, m_flash.data() + done, have - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = errnoText("cannot read flash file " + path);
            return false;
        }
        done += std::size_t(n);
    }
    if (have < kFlashSize)
        writeFile(have, kFlashSize - have);
    return true;
}

void FlashStore::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void FlashStore::setContents(const std::vector<std::uint8_t> &contents)
{
    const std::size_t n = std::min(contents.size(), kFlashSize);
    std::copy(contents.begin(), contents.begin() + std::ptrdiff_t(n), m_flash.begin());
    std::fill(m_flash.begin() + std::ptrdiff_t(n), m_flash.end(), 0xFF);
    if (m_fd >= 0)
        writeFile(0, kFlashSize);
    else
        m_given = true;
}

void FlashStore::readBlock(std::size_t offset, std::uint8_t *block) const
{
    std::memcpy(block, m_flash.data() + offset, kBlockSize);
}

void FlashStore::writeBlock(std::size_t offset, const std::uint8_t *block, long invertedOffset)
{
    std::memcpy(m_flash.data() + offset, block, kBlockSize);
    if (invertedOffset >= long(offset) && invertedOffset < long(offset + kBlockSize))
        m_flash[std::size_t(invertedOffset)] = std::uint8_t(~m_flash[std::size_t(invertedOffset)]);
    writeFile(offset, kBlockSize);
}

void FlashStore::writeFile(std::size_t offset, std::size_t size)
{
    if (m_fd < 0 || offset >= kFlashSize)
        return;
    size = std::min(size, kFlashSize - offset);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pwrite(m_fd, m_flash.data() + offset + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

} // namespace nodesim
