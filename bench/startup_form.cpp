// A QMainWindow with the tool's form (its widgets, fonts and texts, from the
// same .ui) and nothing else: no port scan, no settings, no firmware list.
// For bench_startup, to tell the form's share of the start-up from the rest.

#include "startupprobe.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    int result;
    {
        QMainWindow w;
        Ui::QuorvexRemoteIOFirmwareUpdater ui;
        ui.setupUi(&w);
        StartupProbe::watch(&w);
        w.show();
        result = a.exec();
    }
    return result;
}
