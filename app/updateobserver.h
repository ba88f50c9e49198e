#pragma once
// What an update tells whoever follows it (the update's log): the choices and
// the image it works with, the stages it reaches, its two flash transfers
// with the SDO exchanges each made, and the user's Abort where it ends the
// update. Every call returns at once and
// never fails. The defaults do nothing: an update nobody follows reports to
// none(), so the update never asks whether anyone listens.

#include <cstdint>

class QString;

class UpdateObserver
{
public:
    enum Stage { BootModeEntered, ImagesEqual, ImagesDifferent, FirmwareMarked, UserModeEntered };
    enum Transfer { FlashWrite, ReadBack, TransferCount };

    virtual ~UpdateObserver() = default;

    // The follower that does nothing.
    static UpdateObserver &none()
    {
        static UpdateObserver nobody;
        return nobody;
    }

    virtual void nodeChosen(int /*nodeId*/) {}
    virtual void portChosen(std::uint32_t /*port*/) {}
    virtual void firmwareChosen(const QString & /*path*/) {}
    // The image is loaded: `size` bytes of `image` (with its vector checksum
    // word) are what the update will write.
    virtual void imageLoaded(const std::uint8_t * /*image*/, int /*size*/) {}
    virtual void reached(Stage /*stage*/) {}

    // Before a transfer's first exchange, and after its last one, with the
    // SDO exchanges made and the blocks done of `blocks` (fewer at Abort).
    // A transfer that a missing reply ended is never reported ended.
    virtual void transferStarted(Transfer /*which*/) {}
    virtual void transferEnded(Transfer /*which*/, long /*exchanges*/, int /*blocksDone*/,
                               int /*blocks*/)
    {
    }

    // The user's Abort ends the update here, without a message box. An
    // Abort the update does not act on (pressed during its last steps) is
    // never reported.
    virtual void aborted() {}
};
