// The node's one-byte error-control frame after it restarts into user mode
// (its boot-up record, or a heartbeat when that was missed).

#include "app/quorvexremoteiofirmwareupdater.h"
#include "app/debuglog.h"
#include "recordreader.h"
#include "serialcanframe.h"

#include <QString>

void QuorvexRemoteIOFirmwareUpdater::receiveGuard(SerialLine::Handle handle)
{
    const AwaitedRecord awaited{std::uint16_t(SerialCanFrame::ErrorControlBase + nodeId),
                                SerialCanFrame::GuardRecordSize - SerialCanFrame::HeadSize};
    std::uint8_t record[SerialCanFrame::MaxRecordSize];
    qint64 silentMs = 0;
    if (!awaitRecord(handle, awaited, record, &silentMs)) {
        UPDATER_DEBUG() << "Receive guard timeout: cost " << silentMs << " milli-second";
        throw new TimeoutException("Receive Guard");
    }
    UPDATER_DEBUG() << "Receive guide";
    UPDATER_DEBUG() << QString::number(record[SerialCanFrame::GuardStateOffset], 16);
}
