// The program's start: one window, shown until it is closed.

#include "quorvexremoteiofirmwareupdater.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    int result;
    {
        QuorvexRemoteIOFirmwareUpdater w;
        w.show();
        result = a.exec();
    }
    return result;
}
