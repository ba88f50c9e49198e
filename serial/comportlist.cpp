#include "quorvexremoteiofirmwareupdater.h"

void QuorvexRemoteIOFirmwareUpdater::refreshComPortList()
{
}

bool QuorvexRemoteIOFirmwareUpdater::eventFilter(QObject *watched, QEvent *event)
{
    return QObject::eventFilter(watched, event);
}
