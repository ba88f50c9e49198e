// Reading the flash back block by block, and comparing it with the image.

#include "quorvexremoteiofirmwareupdater.h"
#include "canopen/debuglog.h"
#include "canopen/flashgeometry.h"
#include "canopen/nodeobjects.h"
#include "canopen/serialcanframe.h"

#include <QElapsedTimer>
#include <QProgressDialog>

#include <cstring>

using namespace FlashGeometry;
using namespace NodeObjects;

void QuorvexRemoteIOFirmwareUpdater::readFlash(SerialLine::Handle handle)
{
    const int blocks = blocksFor(imageSize);
    std::uint32_t address = flashBase;
    int offset = 0;
    std::uint8_t reply[4];
    std::uint8_t value[4];
    QElapsedTimer total;
    total.start();
    for (int j = 0; j < blocks; ++j) {
        if (progressDialog && progressDialog->wasCanceled())
            break;
        SerialCanFrame::putU32(value, address);
        sendSdoDownload(handle, commandObject, cmdLoadBlock, value);
        waitSdoDownloadResponse(handle, commandObject, cmdLoadBlock, reply);
        for (int k = 0; k < wordsPerBlock; ++k) {
            const auto subIndex = static_cast<std::uint8_t>(firstWordSubIndex + k);
            sendSdoUpload(handle, blockDataObject, subIndex);
            waitSdoUploadResponse(handle, blockDataObject, subIndex, readBackImage + offset);
            offset += wordSize;
        }
        if (progressDialog)
            progressDialog->setValue(progressValue);
        address += blockSize;
        progressValue += blockSize;
    }
    UPDATER_DEBUG() << "Read flash done:" << offset << "bytes in" << total.elapsed() << "ms";
}

bool QuorvexRemoteIOFirmwareUpdater::compareImages()
{
    return std::memcmp(image, readBackImage, static_cast<std::size_t>(imageSize)) == 0;
}
