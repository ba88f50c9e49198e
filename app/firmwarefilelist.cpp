#include "quorvexremoteiofirmwareupdater.h"

void QuorvexRemoteIOFirmwareUpdater::fillFirmwareFileList()
{
}
