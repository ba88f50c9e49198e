#pragma once
// Takes a fixed-size record off the line, by byte count alone.

#include "serial/serialline.h"

#include <QElapsedTimer>

#include <cstdint>

// Reads until `size` bytes are in. False when a read brings nothing within
// the line's read time-out; *lastReadMs then holds how long that read took.
// What arrived of an unfinished record is dropped with the caller's buffer.
inline bool receiveRecord(SerialLine::Handle handle, std::uint8_t *record, std::uint32_t size,
                          qint64 *lastReadMs)
{
    std::uint32_t received = 0;
    QElapsedTimer stopwatch;
    while (received < size) {
        stopwatch.start();
        std::uint32_t got = 0;
        SerialLine::read(handle, record + received, size - received, &got);
        if (got == 0) {
            *lastReadMs = stopwatch.elapsed();
            return false;
        }
        received += got;
    }
    return true;
}
