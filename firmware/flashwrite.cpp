// Writing the image into the node's flash: the flash key once, then per
// block its words and the block's flash address (docs/protocol.md).

#include "app/quorvexremoteiofirmwareupdater.h"
#include "app/debuglog.h"
#include "app/updateobserver.h"
#include "canopen/flashgeometry.h"
#include "canopen/nodeobjects.h"
#include "canopen/serialcanframe.h"

#include <QElapsedTimer>
#include <QProgressDialog>

using namespace FlashGeometry;
using namespace NodeObjects;

void QuorvexRemoteIOFirmwareUpdater::writeFlash(SerialLine::Handle handle)
{
    updateObserver->transferStarted(UpdateObserver::FlashWrite);
    std::uint8_t reply[4];
    std::uint8_t value[4];
    SerialCanFrame::putU32(value, flashKey);
    sendSdoDownload(handle, commandObject, cmdFlashKey, value);
    waitSdoDownloadResponse(handle, commandObject, cmdFlashKey, reply);
    long exchanges = 1;

    const int blocks = blocksFor(imageSize);
    int done = 0;
    std::uint32_t address = flashBase;
    int offset = 0;
    QElapsedTimer total;
    total.start();
    for (; done < blocks; ++done) {
        if (progressDialog && progressDialog->wasCanceled())
            break;
        QElapsedTimer block;
        block.start();
        // The words go out in image order: the data bytes are the image's.
        for (int k = 0; k < wordsPerBlock; ++k) {
            const auto subIndex = static_cast<std::uint8_t>(firstWordSubIndex + k);
            sendSdoDownload(handle, blockDataObject, subIndex, image + offset);
            waitSdoDownloadResponse(handle, blockDataObject, subIndex, reply);
            offset += wordSize;
        }
        UPDATER_DEBUG() << "Write flash:" << offset << "bytes, block took" << block.elapsed()
                        << "ms";

        SerialCanFrame::putU32(value, address);
        sendSdoDownload(handle, commandObject, cmdStoreBlock, value);
        waitSdoDownloadResponse(handle, commandObject, cmdStoreBlock, reply);
        exchanges += wordsPerBlock + 1;

        if (progressDialog)
            progressDialog->setValue(progressValue);
        address += blockSize;
        progressValue += blockSize;
    }
    UPDATER_DEBUG() << "Write flash done:" << offset << "bytes in" << total.elapsed() << "ms";
    updateObserver->transferEnded(UpdateObserver::FlashWrite, exchanges, done, blocks);
}
