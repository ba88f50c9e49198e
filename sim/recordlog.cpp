#include "recordlog.h"
#include "errnotext.h"

namespace nodesim {

namespace {

constexpr auto kFlushInterval = std::chrono::milliseconds(200);
constexpr std::size_t kMaxLineBytes = 4096;

} // namespace

RecordLog::~RecordLog()
{
    closeFile();
}

bool RecordLog::openFile(const std::string &path, std::string *error)
{
    m_file = std::fopen(path.c_str(), "ae");
    if (!m_file) {
        *error = errnoText("cannot open log file " + path);
        return false;
    }
    return true;
}

void RecordLog::closeFile()
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_dirty = false;
}

void RecordLog::add(Direction direction, const std::uint8_t *bytes, std::size_t size,
                    Clock::time_point time, int piece, bool dropped)
{
    LogEntry e;
    e.time = time;
    e.direction = direction;
    e.bytes.assign(bytes, bytes + size);
    e.piece = piece;
    e.dropped = dropped;
    m_entries.push_back(std::move(e));
    if (!m_file)
        return;
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    char line[32 + 3 * kMaxLineBytes];
    int len = std::snprintf(line, 32, "%lld.%06lld %s", static_cast<long long>(us / 1000000),
                            static_cast<long long>(us % 1000000),
                            direction == Direction::Received ? "RX" : "TX");
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < size && i < kMaxLineBytes; ++i) {
        line[len++] = ' ';
        line[len++] = digits[bytes[i] >> 4];
        line[len++] = digits[bytes[i] & 15];
    }
    line[len++] = '\n';
    std::fwrite(line, 1, std::size_t(len), m_file);
    m_dirty = true;
}

RecordLog::Clock::time_point RecordLog::flushDue() const
{
    return m_dirty ? m_lastFlush + kFlushInterval : Clock::time_point::max();
}

void RecordLog::flushFile(Clock::time_point now)
{
    if (m_file)
        std::fflush(m_file);
    m_dirty = false;
    m_lastFlush = now;
}

} // namespace nodesim
