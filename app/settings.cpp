// The user's last choices (node ID, COM port, firmware file), kept in Qt's
// default settings store as text.

#include "quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include "serial/comportdata.h"

#include <QFileInfo>
#include <QSettings>
#include <QVariant>

void QuorvexRemoteIOFirmwareUpdater::loadSettings()
{
    QSettings settings;
    const QVariant storedNodeId = settings.value(QStringLiteral("Settings/nodeid"));
    const QVariant storedPort = settings.value(QStringLiteral("Settings/com_port"));

    // Absent, not a number or out of range: node 1.
    int id = 1;
    if (!storedNodeId.isNull()) {
        id = storedNodeId.toInt();
        if (id < 1 || id > 127)
            id = 1;
    }

    if (!storedPort.isNull()) {
        bool ok = false;
        const std::uint32_t port = storedPort.toUInt(&ok);
        if (ok && ui->comboBox->count() > 0) {
            // No break: with the same number listed twice, the last one wins.
            // Without a match the box keeps its current item.
            for (int i = 0; i < ui->comboBox->count(); ++i) {
                const auto record = ui->comboBox->itemData(i, Qt::UserRole)
                                        .value<QuorvexCOMLib::EnumSerialCOM::DATA>();
                if (record.port == port)
                    ui->comboBox->setCurrentIndex(i);
            }
        }
    }

    ui->spinBox_nodeid->setValue(id);
}

void QuorvexRemoteIOFirmwareUpdater::saveSettings(std::uint32_t port, const QString &filePath)
{
    // Stored as text on purpose: the values read back the same whatever the
    // store's native number formats are.
    QSettings settings;
    settings.setValue(QStringLiteral("Settings/nodeid"), QString::number(nodeId));
    settings.setValue(QStringLiteral("Settings/com_port"), QString::number(port));
    settings.setValue(QStringLiteral("Settings/filename"), QFileInfo(filePath).completeBaseName());
}
