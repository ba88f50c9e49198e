#pragma once
// The fault switches that act on the line rather than on the node: whether
// requests are answered at all (silent, silentAfterRequests) and how the
// records go out (latencyMs, splitPieces and splitDelayMs, strayByte). The
// node's own switches (neverBoot, neverUser, noBootUp, corruptFlashOffset,
// extraReplyToBootStep1) are read by the node model.
//
// Not thread-safe: the node simulator guards the switches with its own lock.

#include "nodesim.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

namespace nodesim {

// Bytes due to go out at a time: a whole record, or a piece of one (piece
// 1, 2, ...; 0 for a whole record).
struct Timed
{
    std::chrono::steady_clock::time_point due;
    std::vector<std::uint8_t> bytes;
    int piece = 0;
};

// Whether the node may answer one more request. An answered request counts
// against silentAfterRequests in *answered.
bool mayAnswer(const Faults &faults, long *answered);

// Puts `record` on the timetable (kept in due order) as the switches have it
// go out: `delay` after `now` but not before what is queued already,
// behind the stray byte when that switch is on (which turns it off), and in
// splitPieces pieces splitDelayMs apart.
void schedule(std::deque<Timed> *timetable, std::vector<std::uint8_t> record,
              std::chrono::steady_clock::time_point now, std::chrono::nanoseconds delay,
              Faults *faults);

} // namespace nodesim
