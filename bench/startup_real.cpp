// The tool's own start-up (as app/main.cpp), with the start-up probe of
// bench_startup.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "startupprobe.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    int result;
    {
        QuorvexRemoteIOFirmwareUpdater w;
        StartupProbe::watch(&w);
        w.show();
        result = a.exec();
    }
    return result;
}
