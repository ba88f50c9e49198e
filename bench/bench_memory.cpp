// Peak memory of the tool during a whole 131072-byte update beside its idle
// window, as /usr/bin/time -v reports it ("Maximum resident set size").
//
// This program starts itself twice under /usr/bin/time -v: once as an idle
// window (the real window built and shown, event loop left after 1 s) and
// once as a window that performs one whole update (Update pressed, success
// box dismissed, then quits). The simulated node runs here in the parent, so
// its memory is not counted. For reference the real program
// QuorvexRemoteIOFirmwareUpdater is also measured idle (ended after 1 s).
// Target: the update's peak less than 5% above the idle window's.

#include "benchutil.h"
#include "tests/common/hextestutil.h"
#include "app/quorvexremoteiofirmwareupdater.h"
#include "serial/comportdata.h"
#include "tests/common/testsupport.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kBytes = FlashGeometry::flashSize;
const char kTime[] = "/usr/bin/time";

// Dismisses every message box as soon as it shows; remembers the first title.
class BoxDismisser : public QObject
{
public:
    QString firstTitle;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched)) {
                if (firstTitle.isEmpty())
                    firstTitle = box->windowTitle();
                QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
            }
        }
        return false;
    }
};

int childIdle(int argc, char *argv[])
{
    QApplication a(argc, argv);
    QuorvexRemoteIOFirmwareUpdater w;
    w.show();
    QTimer::singleShot(1000, &a, &QCoreApplication::quit);
    return a.exec();
}

int childUpdate(int argc, char *argv[], std::uint32_t port, const QString &hexPath)
{
    QApplication a(argc, argv);
    BoxDismisser dismisser;
    a.installEventFilter(&dismisser);
    QuorvexRemoteIOFirmwareUpdater w;
    w.ui->spinBox_nodeid->setValue(1);
    QComboBox *ports = w.ui->comboBox;
    for (int i = 0; i < ports->count(); ++i) {
        if (ports->itemData(i).value<QuorvexCOMLib::EnumSerialCOM::DATA>().port == port)
            ports->setCurrentIndex(i);
    }
    w.ui->comboBox_firmware_file->clear();
    w.ui->comboBox_firmware_file->addItem(QFileInfo(hexPath).completeBaseName(),
                                          QFileInfo(hexPath).absoluteFilePath());
    w.show();
    int result = 3;
    QTimer::singleShot(0, &a, [&] {
        w.ui->button_update->click();
        result = dismisser.firstTitle == QLatin1String("Burning Firmware Successful") ? 0 : 2;
        QCoreApplication::quit();
    });
    a.exec();
    return result;
}

// Runs args under /usr/bin/time -v -o statsFile, output discarded. The exit
// status of the measured program, -1 when it could not run.
int runTimed(const std::vector<std::string> &command, const std::string &statsFile)
{
    std::vector<std::string> args = {kTime, "-v", "-o", statsFile};
    args.insert(args.end(), command.begin(), command.end());
    return benchutil::runDiscardingOutput(args);
}

// "Maximum resident set size (kbytes): N" of a /usr/bin/time -v report.
long maxRssKb(const std::string &statsFile)
{
    QFile f(QString::fromStdString(statsFile));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const int at = line.indexOf("Maximum resident set size (kbytes):");
        if (at >= 0)
            return line.mid(line.indexOf(':', at) + 1).trimmed().toLong();
    }
    return -1;
}

double wallSeconds(const std::string &statsFile)
{
    QFile f(QString::fromStdString(statsFile));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.contains("Elapsed (wall clock) time")) {
            // h:mm:ss or m:ss.ss
            const QList<QByteArray> parts =
                line.mid(line.lastIndexOf(')') + 2).trimmed().split(':');
            double s = 0;
            for (const QByteArray &p : parts)
                s = s * 60 + p.toDouble();
            return s;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
        if (std::strcmp(argv[2], "idle") == 0)
            return childIdle(argc, argv);
        if (std::strcmp(argv[2], "update") == 0 && argc >= 5)
            return childUpdate(argc, argv, std::uint32_t(std::atol(argv[3])),
                               QString::fromLocal8Bit(argv[4]));
        return 64;
    }

    // Children inherit the isolated config (settings, the node's port) and
    // the offscreen platform.
    benchutil::prepareProcess();
    QCoreApplication app(argc, argv);
    std::printf(
        "bench_memory: peak resident memory (/usr/bin/time -v), whole %d-byte update vs idle "
        "window; debug output %s\n",
        kBytes, benchutil::debugOutputOn() ? "on (to /dev/null)" : "off");
    if (access(kTime, X_OK) != 0) {
        std::printf("  %s not available (Debian package \"time\"); skipped\n", kTime);
        return 0;
    }

    auto node = testsupport::startNode();
    QTemporaryDir dir;
    const QString hex = dir.filePath(QStringLiteral("bench_image.hex"));
    hextest::writeFile(hex, hextest::hexFile(testsupport::randomBytes(kBytes, 99)));
    const std::string self =
        QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget().toStdString();
    const std::string idleStats = dir.filePath(QStringLiteral("idle.txt")).toStdString();
    const std::string updateStats = dir.filePath(QStringLiteral("update.txt")).toStdString();
    const std::string realStats = dir.filePath(QStringLiteral("real.txt")).toStdString();

    const int idleRc = runTimed({self, "--child", "idle"}, idleStats);
    const int updateRc =
        runTimed({self, "--child", "update", std::to_string(node->comNumber()), hex.toStdString()},
                 updateStats);
    // The real program has no way to end itself: timeout ends it after 1 s.
    runTimed({"timeout", "-s", "TERM", "1", QRIO_PROGRAM}, realStats);

    const long idle = maxRssKb(idleStats);
    const long update = maxRssKb(updateStats);
    const long real = maxRssKb(realStats);
    if (idleRc != 0 || idle <= 0) {
        std::printf("  the idle window did not run (status %d)\n", idleRc);
        return 1;
    }
    if (updateRc != 0 || update <= 0) {
        std::printf("  the update did not succeed (status %d)\n", updateRc);
        return 1;
    }
    std::printf("  idle window (1 s):            %7ld kB\n", idle);
    std::printf("  whole update (%.1f s):         %7ld kB   (+%ld kB)\n", wallSeconds(updateStats),
                update, update - idle);
    if (real > 0)
        std::printf("  real program idle (1 s):      %7ld kB   (" QRIO_EXE_NAME " itself)\n", real);
    const double ratio = double(update) / double(idle);
    std::printf("  ratio update / idle: %.3f\n", ratio);
    std::printf("VERDICT peak memory during an update: %+.1f%% against the idle window, target < "
                "+5%%: %s\n",
                100 * (ratio - 1), ratio < 1.05 ? "met" : "MISSED");
    return 0;
}
