// The window's construction and destruction: the application's identity
// (which the settings store is found by), the widgets from the form, and the
// port, settings and firmware lists filled at start. Its operations live in
// the source folders of their subsystems.

#include "quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"
#include "updateobserver.h"

#include <QCoreApplication>
#include <QDebug>

#include <string>

namespace {

// The serial layer's reports (line state at open, failed or short reads and
// writes with the system's reason) are rare and are what support needs most
// when an adapter is unplugged: info lines, so that silencing the debug
// stream keeps them.
void reportSerialDiagnostic(const std::string &line)
{
    qInfo().noquote() << QString::fromStdString(line);
}

} // namespace

QuorvexRemoteIOFirmwareUpdater::QuorvexRemoteIOFirmwareUpdater(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::QuorvexRemoteIOFirmwareUpdater),
      nodeId(0),
      imageSize(0),
      progressValue(0),
      comHandle(SerialLine::InvalidHandle),
      progressDialog(nullptr),
      updateObserver(&UpdateObserver::none())
{
    // The settings store is found through these names, so they come before
    // any settings access.
    QCoreApplication::setOrganizationName(QStringLiteral(QRIO_COMPANY));
    QCoreApplication::setOrganizationDomain(QStringLiteral(QRIO_COMPANY_DOMAIN));
    QCoreApplication::setApplicationName(QStringLiteral(QRIO_APP_NAME));

    SerialLine::setDiagnosticSink(reportSerialDiagnostic);

    ui->setupUi(this);
    // The title is the application's name, kept with the other names in
    // cmake/names.cmake rather than in the form.
    setWindowTitle(QStringLiteral(QRIO_APP_NAME));
    refreshComPortList();
    ui->comboBox->installEventFilter(this);
    loadSettings();
    fillFirmwareFileList();
}

QuorvexRemoteIOFirmwareUpdater::~QuorvexRemoteIOFirmwareUpdater()
{
    delete ui;
}
