// A whole 131072-byte update against the simulated node with no latency:
// the tool (Update pressed, the success box dismissed as soon as it shows)
// beside the ideal client running the same exchange sequence with the same
// pauses, alternating in one run.
//
// Figures: total time (tool: from the press to the success box; ideal: from
// opening the line to the last reply), time outside the fixed pauses (total
// minus 5500 ms) and their ratio, plus where the time went, from the
// simulated node's own timestamps. Targets on the time outside the pauses:
// 1.10x the ideal client with debug output off, 1.30x with it on (the
// logging mode is the process's; scripts/bench.sh runs both).
//
// QRIO_BENCH_RUNS sets the number of run pairs (default 3).

#include "benchutil.h"
#include "idealclient.h"
#include "updaterig.h"

#include <QApplication>
#include <QMessageBox>
#include <QProgressDialog>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using benchutil::Clock;
using benchutil::median;
using benchutil::msBetween;

namespace {

constexpr int kBytes = 0x20000;
constexpr int kBlocks = kBytes / 256;
constexpr double kPausesMs = 5500;

// Notes when the progress dialog and a message box show, and dismisses the
// box at once.
class ShowWatch : public QObject
{
public:
    Clock::time_point dialogShown{};
    Clock::time_point boxShown{};
    QString boxTitle;
    int boxes = 0;

    void reset()
    {
        dialogShown = boxShown = Clock::time_point{};
        boxTitle.clear();
        boxes = 0;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            if (auto *box = qobject_cast<QMessageBox *>(watched)) {
                if (boxes++ == 0) {
                    boxShown = Clock::now();
                    boxTitle = box->windowTitle();
                }
                QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
            } else if (qobject_cast<QProgressDialog *>(watched) && dialogShown == Clock::time_point{}) {
                dialogShown = Clock::now();
            }
        }
        return false;
    }
};

// Phases of one update, from the node's timestamps of the records.
struct Phases
{
    double prep = 0;   // start to the first request (tool: port, settings, HEX file, dialog)
    double boot = 0;   // into boot mode, with the 500 ms pause
    double write = 0;  // flash key, 512 blocks
    double read = 0;   // read-back and comparison, up to the firmware mark
    double finish = 0; // firmware mark, user-mode command, 5000 ms pause, boot-up record, mode read
    double end = 0;    // last reply to the end (tool: the success box shows)
    double total = 0;
    bool ok = false;
};

bool isRequest(const nodesim::LogEntry &e, std::uint8_t command, std::uint16_t index, int sub)
{
    return e.direction == nodesim::Direction::Received && !e.dropped && e.bytes.size() == 11
           && e.bytes[3] == command && (e.bytes[4] | e.bytes[5] << 8) == index
           && (sub < 0 || e.bytes[6] == sub);
}

Phases phasesOf(const std::vector<nodesim::LogEntry> &log, Clock::time_point start, Clock::time_point end)
{
    Phases p;
    Clock::time_point firstRx{}, flashKey{}, firstLoad{}, mark{}, lastTx{};
    for (const nodesim::LogEntry &e : log) {
        if (e.direction == nodesim::Direction::Received && firstRx == Clock::time_point{})
            firstRx = e.time;
        if (isRequest(e, 0x23, 0x5100, 8) && flashKey == Clock::time_point{})
            flashKey = e.time;
        if (isRequest(e, 0x23, 0x5100, 7) && firstLoad == Clock::time_point{})
            firstLoad = e.time;
        if (isRequest(e, 0x23, 0x5100, 4))
            mark = e.time;
        if (e.direction == nodesim::Direction::Sent)
            lastTx = e.time;
    }
    const Clock::time_point none{};
    if (firstRx == none || flashKey == none || firstLoad == none || mark == none || lastTx == none)
        return p;
    p.prep = msBetween(start, firstRx);
    p.boot = msBetween(firstRx, flashKey);
    p.write = msBetween(flashKey, firstLoad);
    p.read = msBetween(firstLoad, mark);
    p.finish = msBetween(mark, lastTx);
    p.end = msBetween(lastTx, end);
    p.total = msBetween(start, end);
    p.ok = true;
    return p;
}

void printPhases(const char *who, const Phases &p)
{
    std::printf("    %-5s total %8.1f ms = prep %6.1f + boot %6.1f + write %7.1f + read-back %7.1f + "
                "finish %7.1f + end %5.1f\n",
                who, p.total, p.prep, p.boot, p.write, p.read, p.finish, p.end);
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::isolateConfig();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);

    const int pairs = benchutil::envCount("QRIO_BENCH_RUNS", 3);
    const double target = benchutil::printMode("bench_update");
    std::printf("bench_update: whole update of a %d-byte image (%d blocks), %d run pairs (ideal, tool) "
                "alternating; fixed pauses %.0f ms\n",
                kBytes, kBlocks, pairs, kPausesMs);
    std::fflush(stdout);

    UpdateRig rig;
    const QByteArray data = testsupport::randomBytes(kBytes, 1234);
    rig.chooseFirmware(data);
    ShowWatch watch;
    app.installEventFilter(&watch);

    // The image as the tool writes it (the loader puts its checksum word in),
    // so that both clients leave the same flash behind.
    rig.window->firmwareFile = rig.window->ui->comboBox_firmware_file->currentData().toString().toStdString();
    if (!rig.window->loadHexFile() || rig.window->imageSize != kBytes) {
        std::printf("the HEX file did not load\n");
        return 1;
    }
    std::vector<std::uint8_t> image(rig.window->image, rig.window->image + kBytes);
    std::vector<std::uint8_t> readBack(kBytes);
    const std::string slave = rig.node->slavePath();

    auto runIdeal = [&](Phases *p) {
        rig.node->clearLog();
        const auto t0 = Clock::now();
        const std::string error = idealclient::update(slave, 1, image.data(), kBlocks, readBack.data());
        const auto t1 = Clock::now();
        if (!error.empty()) {
            std::printf("ideal client update failed: %s\n", error.c_str());
            return false;
        }
        *p = phasesOf(rig.node->log(), t0, t1);
        return p->ok;
    };
    auto runTool = [&](Phases *p) {
        rig.node->clearLog();
        watch.reset();
        const auto t0 = Clock::now();
        rig.pressUpdate();
        if (watch.boxTitle != QLatin1String("Burning Firmware Successful")) {
            std::printf("tool update failed: box \"%s\"\n", qPrintable(watch.boxTitle));
            return false;
        }
        *p = phasesOf(rig.node->log(), t0, watch.boxShown);
        return p->ok && rig.flash(kBytes) == rig.expectedImage();
    };

    std::vector<Phases> ideals, tools;
    for (int i = 0; i < pairs; ++i) {
        Phases a, b;
        if (!runIdeal(&a) || !runTool(&b))
            return 1;
        ideals.push_back(a);
        tools.push_back(b);
        std::printf("  pair %d:\n", i + 1);
        printPhases("ideal", a);
        printPhases("tool", b);
        std::printf("    outside the pauses: ideal %.1f ms, tool %.1f ms, ratio %.3f\n",
                    a.total - kPausesMs, b.total - kPausesMs, (b.total - kPausesMs) / (a.total - kPausesMs));
        std::fflush(stdout);
    }

    auto med = [](const std::vector<Phases> &v, double Phases::*field) {
        std::vector<double> x;
        for (const Phases &p : v)
            x.push_back(p.*field);
        return median(x);
    };
    Phases mi, mt;
    for (auto field : {&Phases::prep, &Phases::boot, &Phases::write, &Phases::read, &Phases::finish,
                       &Phases::end, &Phases::total}) {
        mi.*field = med(ideals, field);
        mt.*field = med(tools, field);
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ideals.size(); ++i)
        ratios.push_back((tools[i].total - kPausesMs) / (ideals[i].total - kPausesMs));

    std::printf("Medians (each phase on its own):\n");
    printPhases("ideal", mi);
    printPhases("tool", mt);
    const double idealOutside = mi.total - kPausesMs;
    const double toolOutside = mt.total - kPausesMs;
    std::printf("Total time:           ideal %8.1f ms   tool %8.1f ms\n", mi.total, mt.total);
    std::printf("Outside the pauses:   ideal %8.1f ms   tool %8.1f ms   ratio %.3f "
                "(median of the per-pair ratios %.3f)\n",
                idealOutside, toolOutside, toolOutside / idealOutside, median(ratios));
    benchutil::verdict("update time outside the fixed pauses", toolOutside / idealOutside, target);
    return 0;
}
