// The window's HEX loading: reads the chosen firmware file into the flash
// image with the Qt-free parser (hexparser.h), with a message box for each
// way it can fail.

#include "hexparser.h"
#include "app/debuglog.h"
#include "app/quorvexremoteiofirmwareupdater.h"

#include <QByteArray>
#include <QFile>
#include <QMessageBox>
#include <QString>

#include <cstring>

bool QuorvexRemoteIOFirmwareUpdater::loadHexFile()
{
    std::memset(image, 0xFF, sizeof image);

    if (firmwareFile.empty()) {
        QMessageBox::warning(this, tr("Please choose hex file"),
                             tr("Press \"Choose File\" to select file."), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return false;
    }

    // The path is UTF-8; QFile maps it to the platform's file names (wide
    // names on Windows), so folders with non-ASCII names work.
    QByteArray text;
    bool readable = false;
    {
        QFile file(QString::fromUtf8(firmwareFile.data(), static_cast<int>(firmwareFile.size())));
        if (file.open(QIODevice::ReadOnly)) {
            text = file.readAll();
            readable = file.error() == QFileDevice::NoError;
        }
    }
    if (!readable) {
        QMessageBox::warning(this, tr("Load hex file error"), tr("File does not exist."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }

    const HexParser::LoadResult result =
        HexParser::loadImage(text.constData(), static_cast<std::size_t>(text.size()), image);
    switch (result.status) {
    case HexParser::LoadStatus::Ok:
        break;
    case HexParser::LoadStatus::FormatError:
        QMessageBox::critical(this, tr("Load hex file error"),
                              tr("unexpected format or checksum error"), QMessageBox::Ok,
                              QMessageBox::NoButton);
        return false;
    case HexParser::LoadStatus::NotHexDigits:
        QMessageBox::critical(this, tr("Load hex file error"),
                              tr("unexpected format or checksum error (line %1)").arg(result.line),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    case HexParser::LoadStatus::TooBig:
        QMessageBox::critical(
            this, tr("Load hex file error"),
            tr("Data size in hex file is bigger than %1").arg(FlashGeometry::flashSize),
            QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    case HexParser::LoadStatus::NotContiguous:
        QMessageBox::critical(this, tr("Load hex file error"),
                              tr("Data in hex file is not contiguous (line %1)").arg(result.line),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }

    // The parser has stored the vector checksum word; only the log is left.
    UPDATER_DEBUG().noquote() << QString::asprintf("%08X", static_cast<unsigned>(result.checksum));
    imageSize = result.size;
    return true;
}

bool QuorvexRemoteIOFirmwareUpdater::parseHexRecord(const std::string &line, std::uint8_t *data,
                                                    int &length)
{
    return HexParser::parseHexRecord(line, data, length);
}

int QuorvexRemoteIOFirmwareUpdater::hexStringToBytes(const std::string &line, std::uint8_t *buffer,
                                                     int capacity)
{
    return HexParser::hexStringToBytes(line, buffer, capacity);
}

int QuorvexRemoteIOFirmwareUpdater::hexCharToInt(char c)
{
    return HexParser::hexCharToInt(c);
}
