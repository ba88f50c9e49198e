#pragma once
// A window set up for a whole update against a simulated node: the node's
// port listed and chosen, a firmware file chosen, Update pressed by mouse.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"
#include "serial/comportdata.h"
#include "canopen/flashgeometry.h"
#include "hextestutil.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPointer>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

// The values the bar of the last progress dialog shown took while its range
// was still the update's (from the value it was shown with on), gathered by
// watching the application for dialogs being shown.
class ProgressWatch : public QObject
{
public:
    ProgressWatch() { qApp->installEventFilter(this); }
    ~ProgressWatch() override { qApp->removeEventFilter(this); }

    QList<int> values;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QProgressDialog *>(watched);
        if (event->type() == QEvent::Show && dialog && dialog != current)
            follow(dialog);
        return false;
    }

private:
    void follow(QProgressDialog *dialog)
    {
        current = dialog;
        values = {dialog->value()};
        QProgressBar *bar = dialog->findChild<QProgressBar *>();
        const int maximum = bar->maximum();
        connect(bar, &QProgressBar::valueChanged, this, [this, bar, maximum](int value) {
            if (bar->maximum() == maximum)
                values.append(value);
        });
    }

    QPointer<QProgressDialog> current;
};

struct UpdateRig
{
    explicit UpdateRig(nodesim::Options options = {})
    {
        node = testsupport::startNode(options);
        window = std::make_unique<QuorvexRemoteIOFirmwareUpdater>();
        window->ui->spinBox_nodeid->setValue(options.nodeId);
        selectPort(std::uint32_t(node->comNumber()));
        window->show();
    }

    void selectPort(std::uint32_t port)
    {
        QComboBox *box = window->ui->comboBox;
        for (int i = 0; i < box->count(); ++i) {
            if (box->itemData(i).value<QuorvexCOMLib::EnumSerialCOM::DATA>().port == port)
                box->setCurrentIndex(i);
        }
    }

    // Chooses a HEX file of `data` (written here, or `path` as it is).
    void chooseFirmware(const QByteArray &data, const QString &name = QStringLiteral("io_v1.2.hex"))
    {
        const QString path = dir.filePath(name);
        if (!hextest::writeFile(path, hextest::hexFile(data, 0x8000, "\r\n")))
            qFatal("cannot write %s", qPrintable(path));
        firmwareData = data;
        chooseFile(path);
    }
    // Saves the chosen file again as an editor would: `edit` gets its text
    // and returns the text saved.
    void editChosenFile(const std::function<QByteArray(const QByteArray &)> &edit)
    {
        const QString path = window->ui->comboBox_firmware_file->currentData().toString();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot read %s", qPrintable(path));
        const QByteArray text = file.readAll();
        file.close();
        if (!hextest::writeFile(path, edit(text)))
            qFatal("cannot write %s", qPrintable(path));
    }
    void chooseFile(const QString &path)
    {
        QComboBox *box = window->ui->comboBox_firmware_file;
        box->clear();
        box->addItem(QFileInfo(path).completeBaseName(), QFileInfo(path).absoluteFilePath());
    }

    // Presses Update and returns when the update has ended.
    void pressUpdate() { QTest::mouseClick(window->ui->button_update, Qt::LeftButton); }

    // Calls `hook` with the dialog each time the update hands it events.
    void whileRunning(std::function<void(QProgressDialog *)> hook)
    {
        QObject::connect(&ticker, &QTimer::timeout, [this, hook] {
            if (window->progressDialog && window->progressDialog->isVisible())
                hook(window->progressDialog);
        });
        ticker.start(0);
    }

    QByteArray flash(int size) const
    {
        const auto f = node->flash();
        return QByteArray(reinterpret_cast<const char *>(f.data()), size);
    }

    // What the node's flash must hold after an update of the chosen
    // firmware, over the blocks it writes: computed here from the firmware's
    // data alone (hextest::imageFromData), never taken from the window.
    QByteArray expectedFlash() const
    {
        const int size = FlashGeometry::blocksFor(firmwareData.size()) * FlashGeometry::blockSize;
        return hextest::imageFromData(firmwareData).left(size);
    }

    // Fails the running test, naming the first byte that differs, unless the
    // node's flash is expectedFlash().
    void checkFlash() const
    {
        const QByteArray expected = expectedFlash();
        const QString diff = hextest::imageDifference(flash(expected.size()), expected);
        QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("flash: ") + diff));
    }

    bool sawRequest(const char *hexPrefix) const
    {
        for (const auto &r : node->receivedRecords()) {
            if (QByteArray(reinterpret_cast<const char *>(r.data()), int(r.size()))
                    .toHex()
                    .startsWith(hexPrefix))
                return true;
        }
        return false;
    }

    void checkIdle()
    {
        QVERIFY(window->ui->button_update->isEnabled());
        QCOMPARE(window->comHandle, SerialLine::InvalidHandle);
        QVERIFY(!window->progressDialog || !window->progressDialog->isVisible());
    }

    QTemporaryDir dir;
    std::unique_ptr<nodesim::NodeSim> node;
    std::unique_ptr<QuorvexRemoteIOFirmwareUpdater> window;
    testsupport::MessageBoxCatcher catcher;
    ProgressWatch progress;
    QTimer ticker;
    QByteArray firmwareData; // what the chosen firmware's file was written from
};

inline void checkBox(const testsupport::CaughtBox &box, QMessageBox::Icon icon,
                     const QString &title, const QString &text, QWidget *parent)
{
    QCOMPARE(box.icon, icon);
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, parent);
}
