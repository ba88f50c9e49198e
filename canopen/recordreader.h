#pragma once
// Takes the record an exchange waits for off the line. Records are cut by
// their length byte; whatever else the bus carries (the node's heartbeat,
// its boot-up record, other nodes' heartbeats and PDOs, an adapter's
// greeting) is skipped, and bytes that cannot start a record are dropped
// until the line is back in step.

#include "serial/serialline.h"

#include <QtGlobal>

#include <cstdint>

// What a wait takes: the first record with `identifier` and `length` data
// bytes and, where `index` is not negative, that SDO object index and
// `subIndex`.
struct AwaitedRecord
{
    std::uint16_t identifier; // 0x580 + node ID for an SDO reply, 0x700 + node ID for the guard
    std::uint8_t length;      // 8 for an SDO reply, 1 for the guard
    int index = -1;
    int subIndex = -1;
};

// Reads until the awaited record is in `record` (room for
// SerialCanFrame::MaxRecordSize bytes) and returns true. Returns false when
// no read brought a byte of a record with the awaited identifier for
// SerialLine::ReadTimeoutMs, counted from the call or from the last read
// that did: other traffic never extends the wait, so a flood of it ends
// like silence. *silentMs then holds that time. Each skipped record and each run
// of dropped bytes is logged on Qt's info stream. Never reads past the
// awaited record; what arrived of an unfinished one is dropped.
bool awaitRecord(SerialLine::Handle handle, const AwaitedRecord &awaited, std::uint8_t *record,
                 qint64 *silentMs);
