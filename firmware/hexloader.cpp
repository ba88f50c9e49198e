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

namespace {

// The box text for a load that failed. Each names the line at fault where
// there is one, so that the technician can see what is wrong with the file
// instead of asking for the same file again; the failures of the whole file
// say what to do about them on a second line.
QString loadFailureText(const HexParser::LoadResult &result)
{
    using Status = HexParser::LoadStatus;
    const auto tr = [](const char *text) { return QuorvexRemoteIOFirmwareUpdater::tr(text); };
    switch (result.status) {
    case Status::Ok:
        break;
    case Status::FormatError:
    case Status::NotHexDigits:
        return tr("unexpected format or checksum error (line %1)").arg(result.line);
    case Status::DataTooLong:
        return tr("Data record longer than %1 bytes (line %2)")
            .arg(HexParser::kMaxDataBytes)
            .arg(result.line);
    case Status::TooBig:
        return tr("Data size in hex file is bigger than %1").arg(FlashGeometry::flashSize);
    case Status::NotContiguous:
        return tr("Data in hex file is not contiguous (line %1)").arg(result.line);
    case Status::NoEndOfFile:
        return tr("Hex file has no end-of-file record") + QLatin1Char('\n')
               + tr("The file may be incomplete: a copy that was still being written, or a "
                    "download that was interrupted. Copy or download it again.");
    case Status::Utf16Text:
        return tr("Hex file is saved as UTF-16 text") + QLatin1Char('\n')
               + tr("Open it in a text editor and save it as ANSI or UTF-8 text.");
    }
    return QString();
}

} // namespace

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
    if (result.status != HexParser::LoadStatus::Ok) {
        QMessageBox::critical(this, tr("Load hex file error"), loadFailureText(result),
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
