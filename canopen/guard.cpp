// The node's one-byte frame after it restarts into user mode, taken as a
// 4-byte record by count alone.

#include "quorvexremoteiofirmwareupdater.h"
#include "debuglog.h"
#include "serialcanframe.h"

#include <QElapsedTimer>
#include <QString>

void QuorvexRemoteIOFirmwareUpdater::receiveGuard(SerialLine::Handle handle)
{
    std::uint8_t record[SerialCanFrame::GuardRecordSize];
    std::uint32_t received = 0;
    QElapsedTimer stopwatch;
    while (received < SerialCanFrame::GuardRecordSize) {
        stopwatch.start();
        std::uint32_t got = 0;
        SerialLine::read(handle, record + received, SerialCanFrame::GuardRecordSize - received, &got);
        if (got == 0) {
            UPDATER_DEBUG() << "Receive guard timeout: cost " << stopwatch.elapsed() << " milli-second";
            throw new TimeoutException("Receive Guard");
        }
        received += got;
    }
    UPDATER_DEBUG() << "Receive guide";
    UPDATER_DEBUG() << QString::number(record[3], 16);
}
