// The line's records cut by their length byte, and the one an exchange
// waits for picked out of them (recordreader.h).

#include "recordreader.h"

#include "serialcanframe.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <cstring>

namespace {

using namespace SerialCanFrame;

QString hexBytes(const std::uint8_t *bytes, std::size_t count)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), int(count)).toHex(' ');
}

void logSkipped(const std::uint8_t *record)
{
    qInfo().noquote() << QStringLiteral("Record skipped: identifier %1, length %2, data %3")
                             .arg(getU16(record), 3, 16, QLatin1Char('0'))
                             .arg(record[LengthOffset])
                             .arg(hexBytes(record + HeadSize, record[LengthOffset]));
}

void logDropped(const std::uint8_t *bytes, std::size_t count)
{
    qInfo().noquote() << QStringLiteral("Line out of step, %1 byte(s) dropped: %2")
                             .arg(count)
                             .arg(hexBytes(bytes, count));
}

bool isAwaited(const std::uint8_t *record, const AwaitedRecord &awaited)
{
    if (getU16(record) != awaited.identifier || record[LengthOffset] != awaited.length)
        return false;
    if (awaited.index < 0)
        return true;
    return getU16(record + SdoIndexOffset) == awaited.index
           && record[SdoSubIndexOffset] == awaited.subIndex;
}

// The bytes of the line since the last whole record: at most one record.
class Pending
{
public:
    std::uint8_t *data() { return m_bytes; }
    std::size_t size() const { return m_size; }
    void grow(std::size_t n) { m_size += n; }

    // Drops leading bytes until what is left can start a record (or is too
    // short to tell). Returns how many were dropped, logging them.
    std::size_t dropOutOfStep()
    {
        std::size_t dropped = 0;
        while (m_size - dropped >= HeadSize && !isFrameHead(m_bytes + dropped))
            ++dropped;
        if (dropped > 0) {
            logDropped(m_bytes, dropped);
            take(dropped);
        }
        return dropped;
    }

    // The size of the record under way; 0 while its head is incomplete.
    std::size_t recordSize() const
    {
        return m_size < HeadSize ? 0 : HeadSize + m_bytes[LengthOffset];
    }

    // Where, past the first byte, a head of the awaited kind starts; 0 for
    // nowhere.
    std::size_t find(const AwaitedRecord &awaited) const
    {
        for (std::size_t at = 1; at + HeadSize <= m_size; ++at)
            if (getU16(m_bytes + at) == awaited.identifier
                && m_bytes[at + LengthOffset] == awaited.length)
                return at;
        return 0;
    }

    void take(std::size_t n)
    {
        std::memmove(m_bytes, m_bytes + n, m_size - n);
        m_size -= n;
    }

private:
    std::uint8_t m_bytes[MaxRecordSize];
    std::size_t m_size = 0;
};

} // namespace

bool awaitRecord(SerialLine::Handle handle, const AwaitedRecord &awaited, std::uint8_t *record,
                 qint64 *silentMs)
{
    Pending pending;
    QElapsedTimer sinceProgress; // since the call or the last byte of an awaited-identifier record
    sinceProgress.start();
    for (;;) {
        pending.dropOutOfStep();
        const std::size_t whole = pending.recordSize();
        if (whole > 0 && pending.size() >= whole) {
            if (isAwaited(pending.data(), awaited)) {
                std::memcpy(record, pending.data(), whole);
                return true;
            }
            // A record the line was out of step for may hold the awaited
            // one's head; the rest of that record is still to come.
            const std::size_t at = pending.find(awaited);
            if (at > 0) {
                logDropped(pending.data(), at);
                pending.take(at);
                continue;
            }
            logSkipped(pending.data());
            pending.take(whole);
            continue;
        }
        // Ask for no more than the record under way needs: with nothing
        // under way, no more than the awaited record's size, which ends no
        // later than it does.
        std::size_t want = whole > 0 ? whole - pending.size() : HeadSize - pending.size();
        const std::size_t awaitedSize = HeadSize + awaited.length;
        if (whole == 0 && pending.size() < awaitedSize)
            want = std::max(want, awaitedSize - pending.size());
        const qint64 left = SerialLine::ReadTimeoutMs - sinceProgress.elapsed();
        if (left <= 0) {
            *silentMs = sinceProgress.elapsed();
            return false;
        }
        std::uint32_t got = 0;
        const bool awaitedUnderWay = whole > 0 && getU16(pending.data()) == awaited.identifier;
        SerialLine::read(handle, pending.data() + pending.size(), std::uint32_t(want), &got,
                         std::uint32_t(left));
        if (got == 0) {
            *silentMs = sinceProgress.elapsed();
            return false;
        }
        pending.grow(got);
        const bool awaitedNow =
            pending.size() >= HeadSize && getU16(pending.data()) == awaited.identifier;
        if (awaitedUnderWay || awaitedNow)
            sinceProgress.start();
    }
}
