// The Update command: one whole firmware update, from opening the port to
// the final message.

#include "quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"
#include "updatelog.h"
#include "canopen/flashgeometry.h"
#include "serial/comportdata.h"

#include <QMessageBox>
#include <QProgressDialog>

#include <cstring>
#include <memory>
#include <string>

void QuorvexRemoteIOFirmwareUpdater::on_button_update_clicked()
{
    ui->button_update->setEnabled(false);
    {
        // Each update leaves its log for support; the update reports to it
        // as it goes, and the box that ends the update (or its abort) is its
        // outcome.
        UpdateLog log;
        updateObserver = &log;
        runUpdate();
        updateObserver = &UpdateObserver::none();
        log.finish();
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
    updateObserver->nodeChosen(nodeId);

    const int portIndex = ui->comboBox->currentIndex();
    if (portIndex < 0)
        return;
    const auto port = ui->comboBox->itemData(portIndex, Qt::UserRole)
                          .value<QuorvexCOMLib::EnumSerialCOM::DATA>()
                          .port;
    updateObserver->portChosen(port);

    comHandle = SerialLine::open(SerialLine::devicePath(port));
    // A line without its time-outs may keep a "wait for ever" read time-out
    // from its last user and freeze the window: not usable, a failed open.
    if (!SerialLine::setTimeouts(comHandle) && comHandle != SerialLine::InvalidHandle) {
        SerialLine::close(comHandle);
        comHandle = SerialLine::InvalidHandle;
    }
    if (comHandle == SerialLine::InvalidHandle) {
        // Under the question, what the system said: a re-plugged adapter
        // with a new number or a missing group membership is no other
        // application.
        QString text = tr("Does there has other application lock the COM port?");
        const std::string cause = SerialLine::lastOpenError();
        if (!cause.empty())
            text += QLatin1Char('\n') + QString::fromStdString(cause);
        QMessageBox::critical(this, tr("Open Serial COM%1 failed").arg(port), text, QMessageBox::Ok,
                              QMessageBox::NoButton);
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
    updateObserver->firmwareChosen(filePath);

    if (!loadHexFile())
        return;
    updateObserver->imageLoaded(image, imageSize);
    // A file without data would only mark the node's old firmware as new.
    if (imageSize == 0) {
        QMessageBox::warning(this, tr("Load hex file error"), tr("Hex file contains no data."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

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
        updateObserver->reached(UpdateObserver::BootModeEntered);
        writeFlash(comHandle);
        progressDialog->setLabelText(QStringLiteral("Reading Flash for comparing..."));
        std::memset(readBackImage, 0xFF, sizeof readBackImage);
        readFlash(comHandle);
        if (progressDialog->wasCanceled()) {
            updateObserver->aborted();
            return;
        }
        if (!compareImages()) {
            QMessageBox::critical(this, tr("Burning Firmware Failed"), tr("File is different"),
                                  QMessageBox::Ok, QMessageBox::NoButton);
            return;
        }
        writeFirmwareMark(comHandle);
        updateObserver->reached(UpdateObserver::FirmwareMarked);
        progressDialog->setLabelText(tr("Enter user mode...(wait 5 second)"));
        if (!enterUserMode(comHandle))
            return;
        updateObserver->reached(UpdateObserver::UserModeEntered);
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
