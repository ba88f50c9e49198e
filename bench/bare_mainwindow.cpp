// The least a Qt widgets program with one main window does to start: the
// yardstick of bench_startup.

#include "startupprobe.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    int result;
    {
        QMainWindow w;
        StartupProbe::watch(&w);
        w.show();
        result = a.exec();
    }
    return result;
}
