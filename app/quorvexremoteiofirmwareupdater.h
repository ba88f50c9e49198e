#pragma once
// The tool's one window and everything an update does (see the class).

#include "canopen/flashgeometry.h"
#include "serial/serialline.h"

#include <QMainWindow>

#include <cstdint>
#include <exception>
#include <string>

class QProgressDialog;
class UpdateObserver;

namespace Ui {
class QuorvexRemoteIOFirmwareUpdater;
}

// The tool's one window. It holds the state of an update and every operation
// of it; the operations live in the source folder of their subsystem
// (serial/, canopen/, firmware/) and in app/.
//
// Operations and state are public so the test programs can drive each step
// against the simulated node; the Update slot stays private.
class QuorvexRemoteIOFirmwareUpdater : public QMainWindow
{
    Q_OBJECT

public:
    // Raised (as a pointer to a heap object) when a reply or the guard record
    // does not arrive. Whoever catches it owns it.
    class TimeoutException : public std::exception
    {
    public:
        explicit TimeoutException(const std::string &text) : message(text) {}
        ~TimeoutException() override = default;
        const char *what() const noexcept override { return message.c_str(); }

        std::string message;
    };

    explicit QuorvexRemoteIOFirmwareUpdater(QWidget *parent = nullptr);
    ~QuorvexRemoteIOFirmwareUpdater() override;

    bool eventFilter(QObject *watched, QEvent *event) override;

    // Update procedure (app/update.cpp)
    void runUpdate();

    // Settings (app/settings.cpp)
    void loadSettings();
    void saveSettings(std::uint32_t port, const QString &filePath);

    // Firmware file list (app/firmwarefilelist.cpp)
    void fillFirmwareFileList();

    // COM port list (serial/comportlist.cpp)
    void refreshComPortList();

    // SDO client (canopen/sdo.cpp)
    bool sendSdoDownload(SerialLine::Handle handle, std::uint16_t index, std::uint8_t subIndex,
                         const std::uint8_t *data);
    bool waitSdoDownloadResponse(SerialLine::Handle handle, std::uint16_t index,
                                 std::uint8_t subIndex, std::uint8_t *data);
    bool sendSdoUpload(SerialLine::Handle handle, std::uint16_t index, std::uint8_t subIndex);
    bool waitSdoUploadResponse(SerialLine::Handle handle, std::uint16_t index,
                               std::uint8_t subIndex, std::uint8_t *data);

    // Guard record (canopen/guard.cpp)
    void receiveGuard(SerialLine::Handle handle);

    // Mode switching (canopen/modeswitch.cpp)
    bool isBootMode(SerialLine::Handle handle);
    bool enterBootMode(SerialLine::Handle handle);
    bool enterUserMode(SerialLine::Handle handle);
    bool writeFirmwareMark(SerialLine::Handle handle);

    // Intel HEX loader (firmware/hexloader.cpp)
    bool loadHexFile();
    static bool parseHexRecord(const std::string &line, std::uint8_t *data, int &length);
    static int hexStringToBytes(const std::string &line, std::uint8_t *buffer, int capacity);
    static int hexCharToInt(char c);

    // Flash transfer (firmware/flashwrite.cpp, firmware/flashread.cpp)
    void writeFlash(SerialLine::Handle handle);
    void readFlash(SerialLine::Handle handle);
    bool compareImages();

    // State of an update.
    Ui::QuorvexRemoteIOFirmwareUpdater *ui;
    std::string firmwareFile; // UTF-8
    std::uint8_t image[FlashGeometry::flashSize];
    std::uint8_t readBackImage[FlashGeometry::flashSize];
    std::int32_t nodeId;
    std::int32_t imageSize;
    std::int32_t progressValue;
    SerialLine::Handle comHandle;
    QProgressDialog *progressDialog; // not owning; a child of the window
    UpdateObserver *updateObserver;  // follows the update (app/updateobserver.h); never null

private slots:
    void on_button_update_clicked();
};
