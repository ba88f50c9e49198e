// The node's one-byte frame after it restarts into user mode, taken as a
// 4-byte record by count alone.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "app/debuglog.h"
#include "recordreader.h"
#include "serialcanframe.h"

#include <QString>

void QuorvexRemoteIOFirmwareUpdater::receiveGuard(SerialLine::Handle handle)
{
    std::uint8_t record[SerialCanFrame::GuardRecordSize];
    qint64 lastReadMs = 0;
    if (!receiveRecord(handle, record, SerialCanFrame::GuardRecordSize, &lastReadMs)) {
        UPDATER_DEBUG() << "Receive guard timeout: cost " << lastReadMs << " milli-second";
        throw new TimeoutException("Receive Guard");
    }
    UPDATER_DEBUG() << "Receive guide";
    UPDATER_DEBUG() << QString::number(record[SerialCanFrame::GuardStateOffset], 16);
}
