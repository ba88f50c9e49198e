#pragma once
// What the simulated node received and sent: every record in memory, and,
// when the node is given a log file, one text line per record appended to
// it ("<seconds>.<microseconds> RX|TX <bytes in hex>").
//
// Not thread-safe: the node simulator guards it with its own lock.

#include "nodesim.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace nodesim {

class RecordLog
{
public:
    using Clock = std::chrono::steady_clock;

    RecordLog() = default;
    ~RecordLog();
    RecordLog(const RecordLog &) = delete;
    RecordLog &operator=(const RecordLog &) = delete;

    // Appends to the file at `path` from now on. False, with *error, when it
    // cannot be opened.
    bool openFile(const std::string &path, std::string *error);
    void closeFile();

    void add(Direction direction, const std::uint8_t *bytes, std::size_t size,
             Clock::time_point time, int piece = 0, bool dropped = false);
    const std::vector<LogEntry> &entries() const { return m_entries; }
    void clear() { m_entries.clear(); }

    // The file is flushed at least every flush interval while it has
    // unwritten lines: when the next flush is due (max() when none is).
    Clock::time_point flushDue() const;
    void flushFile(Clock::time_point now);

private:
    std::vector<LogEntry> m_entries;
    std::FILE *m_file = nullptr;
    bool m_dirty = false;
    Clock::time_point m_lastFlush = Clock::now();
};

} // namespace nodesim
