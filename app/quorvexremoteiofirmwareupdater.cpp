#include "quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include <QCoreApplication>

QuorvexRemoteIOFirmwareUpdater::QuorvexRemoteIOFirmwareUpdater(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::QuorvexRemoteIOFirmwareUpdater),
      nodeId(0),
      imageSize(0),
      progressValue(0),
      comHandle(SerialLine::InvalidHandle),
      progressDialog(nullptr),
      updateLog(nullptr)
{
    // The settings store is found through these names, so they come before
    // any settings access.
    QCoreApplication::setOrganizationName(QStringLiteral("Quorvex"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("quorvex.com"));
    QCoreApplication::setApplicationName(QStringLiteral("Velmora(CANBus)"));

    ui->setupUi(this);
    refreshComPortList();
    ui->comboBox->installEventFilter(this);
    loadSettings();
    fillFirmwareFileList();
}

QuorvexRemoteIOFirmwareUpdater::~QuorvexRemoteIOFirmwareUpdater()
{
    delete ui;
}
