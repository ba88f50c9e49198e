// The places of the window's widgets that the Wine GUI test clicks, as the
// Windows build lays them out: the program's own window (its form, port list
// and settings as the Wine prefix gives them), shown, then asked where its
// Update button and its port box are, in window coordinates.
//
// Usage: form_places OUT. Writes to OUT one line per widget, "NAME X Y" with
// the centre of the widget (button_update, comboBox), and exits 0; exits 1
// when OUT cannot be written. The layouts, fonts and style decide the places,
// so they can only be had from the window itself on the test's display.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include <QApplication>
#include <QFile>
#include <QTextStream>
#include <QTimer>

#include <memory>

namespace {

// "NAME X Y": the centre of `widget` in `window`'s coordinates.
QString place(const QWidget *window, const QWidget *widget)
{
    const QPoint centre = widget->mapTo(window, widget->rect().center());
    return QStringLiteral("%1 %2 %3\n").arg(widget->objectName()).arg(centre.x()).arg(centre.y());
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    if (argc != 2)
        return 1;
    const QString out = QString::fromLocal8Bit(argv[1]);
    // On the heap: the window holds whole flash images.
    auto w = std::make_unique<QuorvexRemoteIOFirmwareUpdater>();
    w->show();
    int status = 1;
    // Asked once the event loop runs: the layouts have their final sizes then.
    QTimer::singleShot(0, [&] {
        QFile file(out);
        if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
            QTextStream(&file) << place(w.get(), w->ui->button_update)
                               << place(w.get(), w->ui->comboBox);
            status = file.error() == QFileDevice::NoError ? 0 : 1;
        }
        a.quit();
    });
    a.exec();
    return status;
}
