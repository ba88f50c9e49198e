#include "quorvexremoteiofirmwareupdater.h"

void QuorvexRemoteIOFirmwareUpdater::on_button_update_clicked()
{
}

void QuorvexRemoteIOFirmwareUpdater::runUpdate()
{
}
