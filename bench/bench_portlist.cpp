// Cost of rebuilding the COM port box on a mouse press, with 8 ports present.
// Target: under 2 ms per rebuild on Linux.
//
// The 8 ports come from both Linux sources (dosdevices links and the /dev
// table) under temporary roots, so the figure does not depend on the
// machine's own serial devices; a second run uses the real /dev as well.

#include "benchutil.h"
#include "app/quorvexremoteiofirmwareupdater.h"
#include "serial/serialdevicescan_posix.h"
#include "serial/enumserialcom.h"
#include "tests/common/testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

struct Figures
{
    double meanMs;
    double medianMs;
    double p99Ms;
};

template <typename F>
Figures measure(int rounds, F &&step)
{
    for (int i = 0; i < 50; ++i) // warm-up
        step();
    std::vector<double> ms;
    ms.reserve(rounds);
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        timer.start();
        step();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    return {benchutil::mean(ms), benchutil::median(ms), benchutil::percentile(ms, 0.99)};
}

bool touch(const QString &path, const QByteArray &content = QByteArray())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

void run(const char *label, QComboBox *box, int expectedCount)
{
    const int rounds = 2000;
    // A right-button press: the filter rebuilds the list, and no popup opens
    // whose showing would be timed too.
    auto press = [box] {
        QMouseEvent event(QEvent::MouseButtonPress, QPointF(5, 5), Qt::RightButton, Qt::RightButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(box, &event);
    };
    press();
    if (expectedCount >= 0 && box->count() != expectedCount) {
        std::printf("unexpected port count %d (wanted %d)\n", box->count(), expectedCount);
        std::exit(1);
    }
    box->setCurrentIndex(box->count() / 2);
    const QString chosen = box->currentText();

    const Figures rebuild = measure(rounds, press);
    if (box->currentText() != chosen) {
        std::printf("selection lost during the rebuilds\n");
        std::exit(1);
    }
    const Figures scan = measure(rounds, [] { (void)QuorvexCOMLib::EnumSerialCOM::Enumerate(); });

    std::printf("%s: %d ports listed\n", label, box->count());
    std::printf("  rebuild on mouse press: mean %.3f ms, median %.3f ms, p99 %.3f ms per rebuild"
                " (%d rebuilds)\n",
                rebuild.meanMs, rebuild.medianMs, rebuild.p99Ms, rounds);
    std::printf("  of which enumeration:   mean %.3f ms, median %.3f ms, p99 %.3f ms\n",
                scan.meanMs, scan.medianMs, scan.p99Ms);
    std::printf("  target < 2 ms: %s\n", rebuild.meanMs < 2.0 ? "met" : "MISSED");
}

} // namespace

int main(int argc, char *argv[])
{
    benchutil::prepareProcess();
    QApplication app(argc, argv);

    QTemporaryDir roots;
    const QString dev = roots.path() + QStringLiteral("/dev");
    const QString sys = roots.path() + QStringLiteral("/sys");
    const QString dos = testsupport::dosDevicesDir();
    QDir().mkpath(dos);
    // 4 pinned in the dosdevices folder, 4 found by the /dev table.
    for (const char *name : {"COM3", "COM5", "com12", "COM40"})
        QFile::link(QStringLiteral("/dev/null"), dos + '/' + QLatin1String(name));
    bool ok = touch(dev + QStringLiteral("/ttyS1"))
              && touch(sys + QStringLiteral("/ttyS1/type"), "4\n")
              && touch(dev + QStringLiteral("/ttyUSB0")) && touch(dev + QStringLiteral("/ttyUSB1"))
              && touch(dev + QStringLiteral("/ttyACM0"));
    if (!ok) {
        std::printf("could not prepare the device folders\n");
        return 1;
    }

    PosixPorts::overrideDeviceRoots(dev.toStdString(), sys.toStdString());
    {
        QuorvexRemoteIOFirmwareUpdater w;
        run("8 ports (temporary device roots)",
            w.findChild<QComboBox *>(QStringLiteral("comboBox")), 8);
    }

    PosixPorts::overrideDeviceRoots({}, {});
    {
        QuorvexRemoteIOFirmwareUpdater w;
        run("4 pinned ports + this machine's /dev",
            w.findChild<QComboBox *>(QStringLiteral("comboBox")), -1);
    }
    return 0;
}
