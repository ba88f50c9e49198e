// The Update command: one whole firmware update, from opening the port to
// the final message.

#include "quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"
#include "updatelog.h"
#include "canopen/flashgeometry.h"
#include "canopen/nodeobjects.h"
#include "canopen/serialcanframe.h"
#include "firmware/hexparser.h"
#include "serial/comportdata.h"

#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>

#include <cstring>
#include <memory>

void QuorvexRemoteIOFirmwareUpdater::on_button_update_clicked()
{
    ui->button_update->setEnabled(false);
    {
        // Each update leaves its log for support; the box that ends the
        // update is its outcome. A dialog that is not this update's own
        // (the last update's, left hidden) says nothing about an abort.
        const QPointer<QProgressDialog> lastDialog = progressDialog;
        UpdateLog log;
        updateLog = &log;
        runUpdate();
        updateLog = nullptr;
        // Asked before the dialog is closed below: closing it cancels it too.
        log.finish(progressDialog && progressDialog != lastDialog.data()
                   && progressDialog->wasCanceled());
    }
    ui->button_update->setEnabled(true);
    if (progressDialog)
        progressDialog->close();
    if (comHandle != SerialLine::InvalidHandle) {
        SerialLine::close(comHandle);
        comHandle = SerialLine::InvalidHandle;
    }
}

void QuorvexRemoteIOFirmwareUpdater::runUpdate()
{
    nodeId = ui->spinBox_nodeid->value();
    if (updateLog)
        updateLog->setNodeId(nodeId);

    const int portIndex = ui->comboBox->currentIndex();
    if (portIndex < 0)
        return;
    const auto port = ui->comboBox->itemData(portIndex, Qt::UserRole)
                          .value<QuorvexCOMLib::EnumSerialCOM::DATA>()
                          .port;
    if (updateLog)
        updateLog->setPort(port);

    comHandle = SerialLine::open(SerialLine::devicePath(port));
    // A line without its time-outs may keep a "wait for ever" read time-out
    // from its last user and freeze the window: not usable, a failed open.
    if (!SerialLine::setTimeouts(comHandle) && comHandle != SerialLine::InvalidHandle) {
        SerialLine::close(comHandle);
        comHandle = SerialLine::InvalidHandle;
    }
    if (comHandle == SerialLine::InvalidHandle) {
        QMessageBox::critical(this, tr("Open Serial COM%1 failed").arg(port),
                              tr("Does there has other application lock the COM port?"),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    QString filePath;
    if (ui->comboBox_firmware_file->currentIndex() >= 0) {
        const QVariant data = ui->comboBox_firmware_file->currentData(Qt::UserRole);
        if (data.type() == QVariant::String)
            filePath = data.toString();
    }
    firmwareFile = filePath.toUtf8().toStdString();
    saveSettings(port, filePath);
    if (updateLog)
        updateLog->setFirmware(filePath);

    if (!loadHexFile())
        return;
    if (updateLog)
        updateLog->setImage(imageSize, SerialCanFrame::getU32(image + HexParser::kChecksumOffset));
    // A file without data would only mark the node's old firmware as new.
    if (imageSize == 0) {
        QMessageBox::warning(this, tr("Load hex file error"), tr("Hex file contains no data."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    if (updateLog)
        updateLog->reached(UpdateLog::FirmwareLoaded);

    SerialLine::purge(comHandle);
    progressValue = 0;
    const int rounded = FlashGeometry::blocksFor(imageSize) * FlashGeometry::blockSize;

    // The last update's dialog is hidden by now; a new update gets a new one.
    delete progressDialog;
    progressDialog = new QProgressDialog(QStringLiteral("Burning Firmware to Remote IO..."),
                                         QStringLiteral("Abort"), 0, 2 * rounded + 1, this);
    progressDialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint
                                   | Qt::WindowCloseButtonHint);
    progressDialog->setWindowModality(Qt::WindowModal);
    progressDialog->resize(400, 100);
    progressDialog->setValue(1);
    progressDialog->show();

    try {
        if (!enterBootMode(comHandle))
            return;
        if (updateLog)
            updateLog->reached(UpdateLog::BootModeEntered);
        // The flash key, then per block its words and its address; the
        // read-back asks for each block, then reads its words.
        // progressValue counts the bytes of the blocks done.
        constexpr long perBlock = FlashGeometry::wordsPerBlock + 1;
        if (updateLog)
            updateLog->startTransfer(UpdateLog::FlashWrite);
        writeFlash(comHandle);
        const int written = progressValue;
        if (updateLog) {
            updateLog->endTransfer(
                UpdateLog::FlashWrite, 1 + perBlock * (written / FlashGeometry::blockSize),
                written / FlashGeometry::blockSize, rounded / FlashGeometry::blockSize);
        }
        progressDialog->setLabelText(QStringLiteral("Reading Flash for comparing..."));
        std::memset(readBackImage, 0xFF, sizeof readBackImage);
        if (updateLog)
            updateLog->startTransfer(UpdateLog::ReadBack);
        readFlash(comHandle);
        if (updateLog) {
            updateLog->endTransfer(UpdateLog::ReadBack,
                                   perBlock
                                       * ((progressValue - written) / FlashGeometry::blockSize),
                                   (progressValue - written) / FlashGeometry::blockSize,
                                   rounded / FlashGeometry::blockSize);
        }
        if (progressDialog->wasCanceled())
            return;
        const bool equal = compareImages();
        if (updateLog)
            updateLog->reached(equal ? UpdateLog::ImagesEqual : UpdateLog::ImagesDifferent);
        if (!equal) {
            QMessageBox::critical(this, tr("Burning Firmware Failed"), tr("File is different"),
                                  QMessageBox::Ok, QMessageBox::NoButton);
            return;
        }
        writeFirmwareMark(comHandle);
        if (updateLog)
            updateLog->reached(UpdateLog::FirmwareMarked);
        progressDialog->setLabelText(tr("Enter user mode...(wait 5 second)"));
        if (!enterUserMode(comHandle))
            return;
        if (updateLog)
            updateLog->reached(UpdateLog::UserModeEntered);
        progressDialog->setMaximum(1);
        progressDialog->setValue(1);
        QMessageBox::information(this, tr("Burning Firmware Successful"),
                                 tr("Firmware of remote IO has beed updated."), QMessageBox::Ok,
                                 QMessageBox::NoButton);
    } catch (TimeoutException *e) {
        const std::unique_ptr<TimeoutException> owned(e);
        QMessageBox::critical(this, tr("Read timeout"), QString::fromUtf8(owned->what()),
                              QMessageBox::Ok, QMessageBox::NoButton);
    }
}
