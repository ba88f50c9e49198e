#include "lineswitches.h"

#include <algorithm>

namespace nodesim {

bool mayAnswer(const Faults &faults, long *answered)
{
    if (faults.silent)
        return false;
    if (faults.silentAfterRequests >= 0) {
        if (*answered >= faults.silentAfterRequests)
            return false;
        ++*answered;
    }
    return true;
}

void schedule(std::deque<Timed> *timetable, std::vector<std::uint8_t> record,
              std::chrono::steady_clock::time_point now, std::chrono::nanoseconds delay,
              Faults *faults)
{
    using Bytes = std::vector<std::uint8_t>;
    auto due = now
               + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::max(delay, std::chrono::nanoseconds(0)));
    if (!timetable->empty())
        due = std::max(due, timetable->back().due);
    if (faults->strayByte) {
        faults->strayByte = false;
        timetable->push_back({due, Bytes{0x00}, 0});
    }
    const int pieces = std::clamp(faults->splitPieces, 1, int(record.size()));
    if (pieces == 1) {
        timetable->push_back({due, std::move(record), 0});
        return;
    }
    // n bytes in p pieces: the later pieces take the remainder (11 in 2: 5, 6).
    const std::size_t base = record.size() / std::size_t(pieces);
    const std::size_t longer = record.size() % std::size_t(pieces);
    std::size_t at = 0;
    for (int i = 0; i < pieces; ++i) {
        const std::size_t len = base + (std::size_t(i) >= std::size_t(pieces) - longer ? 1 : 0);
        timetable->push_back(
            {due,
             Bytes(record.begin() + std::ptrdiff_t(at), record.begin() + std::ptrdiff_t(at + len)),
             i + 1});
        at += len;
        due += std::chrono::milliseconds(std::max(faults->splitDelayMs, 0));
    }
}

} // namespace nodesim
