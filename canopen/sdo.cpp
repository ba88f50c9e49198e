// SDO client: expedited downloads and uploads of four bytes, one request and
// its reply at a time. A reply is the node's SDO record for the object asked
// for; whatever else the bus carries meanwhile is skipped.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "app/debuglog.h"
#include "recordreader.h"
#include "serialcanframe.h"

#include <QString>

#include <iomanip>
#include <sstream>

namespace {

using Handle = SerialLine::Handle;
using TimeoutException = QuorvexRemoteIOFirmwareUpdater::TimeoutException;

// Builds the request into `record` and writes it with one write. True when
// the write succeeded and took all 11 bytes.
bool writeRequest(Handle handle, int nodeId, std::uint8_t command, std::uint16_t index,
                  std::uint8_t subIndex, const std::uint8_t *data, std::uint8_t *record)
{
    SerialCanFrame::buildSdoRequest(record, nodeId, command, index, subIndex, data);
    std::uint32_t written = 0;
    const bool ok = SerialLine::write(handle, record, SerialCanFrame::SdoRecordSize, &written);
    return ok && written == SerialCanFrame::SdoRecordSize;
}

// "Index: 5100, SubIndex:  4" for a download, "Index: 5101, SubIndex: 0" for
// an upload (no field width on its sub-index).
std::string timeoutText(std::uint16_t index, std::uint8_t subIndex, bool download)
{
    std::ostringstream text;
    text << "Index: " << std::hex << std::setfill(' ') << std::setw(4) << index << ", SubIndex: ";
    if (download)
        text << std::setw(2);
    text << unsigned(subIndex);
    return text.str();
}

// Reads the node's reply for the object; throws when it does not come
// within the line's read time-out. An abort is delivered like an answer,
// its code logged.
void receiveReply(Handle handle, int nodeId, std::uint16_t index, std::uint8_t subIndex,
                  std::uint8_t *data, bool download)
{
    const AwaitedRecord awaited{std::uint16_t(SerialCanFrame::SdoReplyBase + nodeId),
                                SerialCanFrame::SdoLength, index, subIndex};
    std::uint8_t reply[SerialCanFrame::MaxRecordSize];
    qint64 silentMs = 0;
    if (!awaitRecord(handle, awaited, reply, &silentMs)) {
        UPDATER_DEBUG() << (download ? "SDO download response timeout: "
                                     : "SDO upload response timeout: ")
                        << silentMs << " milli-second";
        throw new TimeoutException(timeoutText(index, subIndex, download));
    }
    if (updaterDebugEnabled()) {
        HexDebugLine line;
        for (std::size_t i = 0; i < SerialCanFrame::SdoRecordSize; ++i)
            line.hex(reply[i]).text(" ");
    }
    if (reply[SerialCanFrame::SdoCommandOffset] == SerialCanFrame::SdoAbort)
        qInfo().noquote() << QStringLiteral("SDO abort, index %1, sub-index %2: abort code %3")
                                 .arg(index, 0, 16)
                                 .arg(subIndex, 0, 16)
                                 .arg(SerialCanFrame::getU32(reply + SerialCanFrame::SdoDataOffset),
                                      8, 16, QLatin1Char('0'));
    for (std::size_t i = 0; i < SerialCanFrame::SdoDataSize; ++i)
        data[i] = reply[SerialCanFrame::SdoDataOffset + i];
}

} // namespace

bool QuorvexRemoteIOFirmwareUpdater::sendSdoDownload(Handle handle, std::uint16_t index,
                                                     std::uint8_t subIndex,
                                                     const std::uint8_t *data)
{
    std::uint8_t record[SerialCanFrame::SdoRecordSize];
    const bool ok = writeRequest(handle, nodeId, SerialCanFrame::SdoDownloadRequest, index,
                                 subIndex, data, record);
    if (updaterDebugEnabled()) {
        HexDebugLine line;
        line.text("Download request Index:").hex(index).text(" SubIndex:").hex(subIndex);
        for (std::size_t i = 0; i < SerialCanFrame::SdoDataSize; ++i)
            line.hex(data[i]).text(" ");
    }
    return ok;
}

bool QuorvexRemoteIOFirmwareUpdater::waitSdoDownloadResponse(Handle handle, std::uint16_t index,
                                                             std::uint8_t subIndex,
                                                             std::uint8_t *data)
{
    receiveReply(handle, nodeId, index, subIndex, data, true);
    return true;
}

bool QuorvexRemoteIOFirmwareUpdater::sendSdoUpload(Handle handle, std::uint16_t index,
                                                   std::uint8_t subIndex)
{
    std::uint8_t record[SerialCanFrame::SdoRecordSize];
    const bool ok = writeRequest(handle, nodeId, SerialCanFrame::SdoUploadRequest, index, subIndex,
                                 nullptr, record);
    if (updaterDebugEnabled()) {
        HexDebugLine line;
        line.text("Upload request Index:")
            .hex(index)
            .text(" SubIndex:")
            .hex(subIndex)
            .text(" Data:");
        for (std::uint8_t byte : record)
            line.hex(byte).text(" ");
    }
    return ok;
}

bool QuorvexRemoteIOFirmwareUpdater::waitSdoUploadResponse(Handle handle, std::uint16_t index,
                                                           std::uint8_t subIndex,
                                                           std::uint8_t *data)
{
    receiveReply(handle, nodeId, index, subIndex, data, false);
    return true;
}
