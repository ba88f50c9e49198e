// Reading the flash back block by block, and comparing it with the image.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "app/debuglog.h"
#include "app/updateobserver.h"
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
    updateObserver->transferStarted(UpdateObserver::ReadBack);
    const int blocks = blocksFor(imageSize);
    int done = 0;
    long exchanges = 0;
    std::uint32_t address = flashBase;
    int offset = 0;
    std::uint8_t reply[4];
    std::uint8_t value[4];
    QElapsedTimer total;
    total.start();
    for (; done < blocks; ++done) {
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
        exchanges += 1 + wordsPerBlock;
        if (progressDialog)
            progressDialog->setValue(progressValue);
        address += blockSize;
        progressValue += blockSize;
    }
    UPDATER_DEBUG() << "Read flash done:" << offset << "bytes in" << total.elapsed() << "ms";
    updateObserver->transferEnded(UpdateObserver::ReadBack, exchanges, done, blocks);
}

bool QuorvexRemoteIOFirmwareUpdater::compareImages()
{
    const bool equal = std::memcmp(image, readBackImage, static_cast<std::size_t>(imageSize)) == 0;
    updateObserver->reached(equal ? UpdateObserver::ImagesEqual : UpdateObserver::ImagesDifferent);
    return equal;
}
