// Moving the node between its user firmware and its boot mode, and the
// firmware mark.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "app/debuglog.h"
#include "modepauses.h"
#include "nodeobjects.h"
#include "serialcanframe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <algorithm>

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

// Waits `length` in full while the windows keep painting (the dialog's new
// label) and answering the desktop, which offers to end a program that
// leaves it unanswered for a few seconds. User input (clicks, keys, a
// window's close) stays queued until the update next hands out events, as
// it did while the thread slept: nothing the user does can start a second
// update or act on the node during the pause, and Abort is seen where it
// was before.
void waitOut(std::chrono::milliseconds length)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (qint64 left = length.count(); left > 0; left = length.count() - clock.elapsed()) {
        timer.start(int(left));
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        if (timer.isActive()) {
            // Ended from elsewhere (the application quits): the rest asleep.
            QThread::msleep(
                static_cast<unsigned long>(std::max<qint64>(0, length.count() - clock.elapsed())));
            return;
        }
    }
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
    waitOut(ModePauses::afterBootStep1);

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
    waitOut(ModePauses::afterUserMode);
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
