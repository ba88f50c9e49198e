// The COM port box: rebuilt from a fresh enumeration at start-up and on every
// mouse press on the box, keeping the chosen port chosen while it exists.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include "serial/comportdata.h"

#include <QEvent>
#include <QIcon>
#include <QVariant>

#include <sstream>
#include <vector>

void QuorvexRemoteIOFirmwareUpdater::refreshComPortList()
{
    // Enumerate first: the box is touched only once the new list is known.
    std::vector<QuorvexCOMLib::EnumSerialCOM::DATA> ports =
        QuorvexCOMLib::EnumSerialCOM::Enumerate();

    std::uint32_t remembered = 0;
    const QVariant current = ui->comboBox->currentData(Qt::UserRole);
    if (!current.isNull())
        remembered = current.value<QuorvexCOMLib::EnumSerialCOM::DATA>().port;

    ui->comboBox->clear();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        std::wostringstream text;
        text << "COM " << ports[i].port;
        ui->comboBox->insertItem(ui->comboBox->count(), QIcon(),
                                 QString::fromStdWString(text.str()),
                                 QVariant::fromValue(ports[i]));
        // No break: with the same number listed twice, the last one wins.
        if (ports[i].port == remembered)
            ui->comboBox->setCurrentIndex(static_cast<int>(i));
    }
}

bool QuorvexRemoteIOFirmwareUpdater::eventFilter(QObject *watched, QEvent *event)
{
    // Any mouse button: the list is fresh before the box opens its popup.
    // The press is never consumed, so the box still sees it.
    if (watched == ui->comboBox && event->type() == QEvent::MouseButtonPress)
        refreshComPortList();
    return QObject::eventFilter(watched, event);
}
