// Moving the node between its user firmware and its boot mode, and the
// firmware mark.

#include "quorvexremoteiofirmwareupdater.h"
#include "debuglog.h"
#include "nodeobjects.h"
#include "serialcanframe.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>

using namespace NodeObjects;

namespace {

std::uint32_t readModeWord(QuorvexRemoteIOFirmwareUpdater *w, SerialLine::Handle handle,
                           std::uint8_t *bytes)
{
    w->sendSdoUpload(handle, modeObject, modeWordSubIndex);
    w->waitSdoUploadResponse(handle, modeObject, modeWordSubIndex, bytes);
    return SerialCanFrame::getU32(bytes);
}

void sendCommand(QuorvexRemoteIOFirmwareUpdater *w, SerialLine::Handle handle,
                 std::uint8_t subIndex)
{
    std::uint8_t key[4];
    SerialCanFrame::putU32(key, commandKey);
    w->sendSdoDownload(handle, commandObject, subIndex, key);
}

} // namespace

bool QuorvexRemoteIOFirmwareUpdater::isBootMode(SerialLine::Handle handle)
{
    UPDATER_DEBUG() << "Check is boot mode";
    std::uint8_t bytes[4];
    const std::uint32_t modeWord = readModeWord(this, handle, bytes);
    UPDATER_DEBUG() << QString::number(bytes[0], 16) << " " << QString::number(bytes[1], 16) << " "
                    << QString::number(bytes[2], 16) << " " << QString::number(bytes[3], 16);
    return modeWord == modeBoot;
}

bool QuorvexRemoteIOFirmwareUpdater::enterBootMode(SerialLine::Handle handle)
{
    if (isBootMode(handle))
        return true;

    // The node restarts on the first step and answers nothing to it.
    sendCommand(this, handle, cmdBootStep1);
    QThread::msleep(500);

    std::uint8_t reply[4];
    sendCommand(this, handle, cmdBootStep2);
    waitSdoDownloadResponse(handle, commandObject, cmdBootStep2, reply);

    if (isBootMode(handle))
        return true;

    QMessageBox::critical(this, QCoreApplication::applicationName(), tr("Enter Boot Mode Failed"),
                          QMessageBox::Ok, QMessageBox::NoButton);
    return false;
}

bool QuorvexRemoteIOFirmwareUpdater::enterUserMode(SerialLine::Handle handle)
{
    // No reply: the node restarts and announces itself with its boot-up frame.
    sendCommand(this, handle, cmdUserMode);
    QThread::msleep(5000);
    receiveGuard(handle);

    std::uint8_t bytes[4];
    if (readModeWord(this, handle, bytes) == modeNorm)
        return true;

    QMessageBox::critical(this, QCoreApplication::applicationName(), tr("Enter User Mode Failed"),
                          QMessageBox::Ok, QMessageBox::NoButton);
    return false;
}

bool QuorvexRemoteIOFirmwareUpdater::writeFirmwareMark(SerialLine::Handle handle)
{
    std::uint8_t reply[4];
    sendCommand(this, handle, cmdFirmwareMark);
    return waitSdoDownloadResponse(handle, commandObject, cmdFirmwareMark, reply);
}
