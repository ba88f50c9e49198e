#include "quorvexremoteiofirmwareupdater.h"

void QuorvexRemoteIOFirmwareUpdater::loadSettings()
{
}

void QuorvexRemoteIOFirmwareUpdater::saveSettings(std::uint32_t, const QString &)
{
}
