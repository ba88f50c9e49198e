// The firmware files offered to the user: the HEX files of the "Kelvo
// Firmware" folder beside the program, with the folder's README as the
// explanation text.

#include "quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QSettings>
#include <QTextStream>

void QuorvexRemoteIOFirmwareUpdater::fillFirmwareFileList()
{
    const QString storedName = QSettings().value(QStringLiteral("Settings/filename")).toString();

    const QDir programDir(QDir::fromNativeSeparators(QCoreApplication::applicationDirPath()));
    const QDir folder(programDir.filePath(QStringLiteral(QRIO_FIRMWARE_FOLDER)));

    // Plain files only; the name filters ignore case, and without an explicit
    // order the directory's own (by name, ignoring case) applies.
    const QStringList names = folder.entryList(
        QStringList{QStringLiteral("*.hex"), QStringLiteral("*.HEX")}, QDir::Files);
    for (const QString &name : names) {
        const QFileInfo info(folder.filePath(name));
        const QString baseName = info.completeBaseName();
        ui->comboBox_firmware_file->insertItem(ui->comboBox_firmware_file->count(), QIcon(),
                                               baseName, info.absoluteFilePath());
        // Exact match; no break, so the last matching file wins.
        if (baseName == storedName)
            ui->comboBox_firmware_file->setCurrentIndex(ui->comboBox_firmware_file->count() - 1);
    }

    // The README comes with the firmware files. It is read as UTF-8 whatever
    // the locale, so the same file shows the same on every machine; a
    // byte-order mark still takes precedence.
    QFile readme(folder.filePath(QStringLiteral("README.txt")));
    if (readme.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream stream(&readme);
        stream.setCodec("UTF-8");
        ui->textEdit_explain->setText(stream.readAll());
    }
}
