// A whole 131072-byte update as users run it: the shipped program as its own
// process with its window on a virtual display (Xvfb), Update pressed by a
// mouse click (xdotool), against canopen-node-sim as another process,
// alternating (ABBA) with the ideal client (idealclient.h) doing the same
// exchanges over the same kind of pseudo-terminal to the same node. The
// program writes its update log as it always does.
//
// Every figure comes from the node's own timestamps (its --log file, on the
// machine's monotonic clock), so both clients are timed alike and neither
// the start of the program nor the clicks count: the flash write is the
// time from the flash key to the first read-back request (33,281 SDO
// exchanges), the read-back from there to the firmware mark (33,280).
// Medians of whole runs swing with the load of a shared machine; the
// verdict takes each block of the update at its fastest of the runs, for
// both clients. Target: the program within 1.10x of the ideal client per
// SDO exchange, with debug output on or off (the logging mode is this
// process's, passed on to the program; scripts/bench.sh runs both).
//
// QRIO_BENCH_RUNS sets the number of run pairs (default 3).

#include "benchutil.h"
#include "idealclient.h"
#include "logfiles.h"

#include "firmware/hexparser.h"
#include "tests/common/desktop.h"
#include "tests/common/hextestutil.h"
#include "tests/common/toolrun.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using benchutil::median;
using namespace logfiles;

namespace {

constexpr int kBytes = FlashGeometry::flashSize;
constexpr int kBlocks = FlashGeometry::blockCount;
// the flash key, then per block its words and the store command
constexpr int kWriteExchanges = 1 + (FlashGeometry::wordsPerBlock + 1) * kBlocks;
// per block the load command and its words
constexpr int kReadExchanges = (FlashGeometry::wordsPerBlock + 1) * kBlocks;

// One update's transfers, cut at the flash key, each block's address (write
// and read-back) and the firmware mark: 1 + 512 + 512 pieces, in us.
struct Run
{
    std::vector<double> pieces;
    double writeUs = 0; // per exchange
    double readUs = 0;
    double perExchange() const
    {
        return (writeUs * kWriteExchanges + readUs * kReadExchanges)
               / (kWriteExchanges + kReadExchanges);
    }
    bool ok = false;
};

Run runOf(const std::vector<NodeRecord> &log)
{
    // a download request to the node's command object with this sub-index
    std::vector<double> key, stores, loads, mark;
    for (const NodeRecord &r : log) {
        if (isCommand(r, NodeObjects::cmdFlashKey))
            key.push_back(r.us);
        else if (isCommand(r, NodeObjects::cmdStoreBlock))
            stores.push_back(r.us);
        else if (isCommand(r, NodeObjects::cmdLoadBlock))
            loads.push_back(r.us);
        else if (isCommand(r, NodeObjects::cmdFirmwareMark))
            mark.push_back(r.us);
    }
    Run run;
    if (key.size() != 1 || stores.size() != std::size_t(kBlocks)
        || loads.size() != std::size_t(kBlocks) || mark.size() != 1)
        return run;
    std::vector<double> cuts = key;
    cuts.insert(cuts.end(), stores.begin(), stores.end());
    cuts.insert(cuts.end(), loads.begin(), loads.end());
    cuts.push_back(mark[0]);
    for (std::size_t i = 1; i < cuts.size(); ++i)
        run.pieces.push_back(cuts[i] - cuts[i - 1]);
    run.writeUs = (loads[0] - key[0]) / kWriteExchanges;
    run.readUs = (mark[0] - loads[0]) / kReadExchanges;
    run.ok = true;
    return run;
}

// Write and read-back per exchange with each piece at its fastest of `runs`.
Run bestOf(const std::vector<Run> &runs)
{
    Run best;
    const std::size_t writePieces = 1 + kBlocks; // key to the first read-back request
    for (std::size_t k = 0; k < runs.front().pieces.size(); ++k) {
        double b = runs.front().pieces[k];
        for (const Run &r : runs)
            b = std::min(b, r.pieces[k]);
        (k < writePieces ? best.writeUs : best.readUs) += b;
    }
    best.writeUs /= kWriteExchanges;
    best.readUs /= kReadExchanges;
    best.ok = true;
    return best;
}

} // namespace

int main(int argc, char *argv[])
{
    benchutil::prepareProcess();
    desktop::Process xvfb;
    if (!desktop::startDisplay(xvfb)) {
        std::printf("bench_update: Xvfb did not start\n");
        return 1;
    }
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);

    const int pairs = benchutil::envCount("QRIO_BENCH_RUNS", 3);
    benchutil::printMode("bench_update");
    const double target = 1.10;
    std::printf("bench_update: the shipped program (own process, window on Xvfb %s) against "
                "canopen-node-sim (own process); %d-byte image, %d write + %d read-back SDO "
                "exchanges; %d run pairs (ideal, program) alternating\n",
                qgetenv("DISPLAY").constData(), kBytes, kWriteExchanges, kReadExchanges, pairs);
    std::fflush(stdout);

    // The program beside its own firmware folder, as shipped.
    QTemporaryDir dir;
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("QRIO_BENCH_KEEP"));
    const QByteArray data = testsupport::randomBytes(kBytes, 1234);
    const QByteArray hex = hextest::hexFile(data, FlashGeometry::flashBase, "\r\n");
    const QString program =
        toolrun::install(QStringLiteral(QRIO_PROGRAM), dir.filePath(QStringLiteral("app")),
                         QStringLiteral("bench"), hex);
    if (program.isEmpty()) {
        std::printf("cannot set up the program in %s\n", qPrintable(dir.path()));
        return 1;
    }
    // The image as the program writes it (with the vector checksum word).
    std::vector<std::uint8_t> image(kBytes);
    if (HexParser::loadImage(hex.constData(), std::size_t(hex.size()), image.data()).size
        != kBytes) {
        std::printf("the HEX file did not load\n");
        return 1;
    }
    std::vector<std::uint8_t> readBack(kBytes);

    // The node, in a process of its own, with its log of timestamped records.
    const QString nodeLog = dir.filePath(QStringLiteral("node.log"));
    desktop::Process sim;
    int com = 0;
    std::string slave, error;
    if (!desktop::startNodeSim(sim, QRIO_NODESIM, {"--log", nodeLog.toStdString()}, &com, &slave,
                               &error)) {
        std::printf("%s\n", error.c_str());
        return 1;
    }

    const QPoint updateAt = toolrun::updateButtonCentre();
    if (updateAt.isNull()) {
        std::printf("the window did not show on the virtual display\n");
        return 1;
    }
    app.processEvents();
    // The program starts with that port, node 1 and the bench image chosen.
    toolrun::choose(1, com, QStringLiteral("bench"));

    auto runIdeal = [&](Run *run) {
        const qint64 offset = QFileInfo(nodeLog).size();
        const std::string error =
            idealclient::update(slave, 1, image.data(), kBlocks, readBack.data());
        if (!error.empty()) {
            std::printf("ideal client update failed: %s\n", error.c_str());
            return false;
        }
        QThread::msleep(400); // the node writes its log every 200 ms
        *run = runOf(nodeRecords(nodeLog, offset));
        return run->ok;
    };
    QString lastLog;
    auto runProgram = [&](Run *run) {
        toolrun::Update update;
        update.program = program;
        update.updateAt = updateAt;
        update.nodeLog = nodeLog;
        const qint64 offset = QFileInfo(nodeLog).size();
        const toolrun::Outcome outcome = toolrun::runUpdate(update);
        if (!outcome.ok()) {
            std::printf("%s\n", outcome.error.c_str());
            return false;
        }
        lastLog = outcome.updateLog;
        QThread::msleep(400); // the node writes its log every 200 ms
        *run = runOf(nodeRecords(nodeLog, offset));
        return run->ok;
    };

    std::vector<Run> ideals, tools;
    for (int i = 0; i < pairs; ++i) {
        Run a, b;
        bool toolFailed = false;
        if (!benchutil::abbaPair(
                i, [&] { return runIdeal(&a); }, [&] { return runProgram(&b); }, &toolFailed)) {
            std::printf("%s run failed\n", toolFailed ? "program" : "ideal client");
            return 1;
        }
        ideals.push_back(a);
        tools.push_back(b);
        std::printf("  pair %d (%s first), us per SDO exchange:\n", i + 1,
                    i % 2 ? "program" : "ideal");
        std::printf("    ideal   write %6.2f  read-back %6.2f  both %6.2f\n", a.writeUs, a.readUs,
                    a.perExchange());
        std::printf("    program write %6.2f  read-back %6.2f  both %6.2f   ratio %.3f\n",
                    b.writeUs, b.readUs, b.perExchange(), b.perExchange() / a.perExchange());
        std::printf("    its update log: %s | %s\n", qPrintable(logLine(lastLog, "Flash write:")),
                    qPrintable(logLine(lastLog, "Read-back:")));
        std::fflush(stdout);
    }

    auto med = [](const std::vector<Run> &runs, double (*f)(const Run &)) {
        std::vector<double> v;
        for (const Run &r : runs)
            v.push_back(f(r));
        return median(v);
    };
    const auto write = [](const Run &r) { return r.writeUs; };
    const auto read = [](const Run &r) { return r.readUs; };
    const auto both = [](const Run &r) { return r.perExchange(); };
    std::vector<double> pairRatios;
    for (std::size_t i = 0; i < ideals.size(); ++i)
        pairRatios.push_back(tools[i].perExchange() / ideals[i].perExchange());
    const QFileInfo logInfo(lastLog);
    std::printf("Medians, us per SDO exchange:      write   read-back   both\n");
    std::printf("  ideal client                   %7.2f   %7.2f  %7.2f\n", med(ideals, write),
                med(ideals, read), med(ideals, both));
    std::printf("  program                        %7.2f   %7.2f  %7.2f   ratio %.3f (median of the "
                "per-pair ratios %.3f)\n",
                med(tools, write), med(tools, read), med(tools, both),
                med(tools, both) / med(ideals, both), median(pairRatios));
    const Run bi = bestOf(ideals);
    const Run bt = bestOf(tools);
    std::printf(
        "Each of the 1025 pieces (flash key, 512 + 512 blocks) at its fastest of the %d runs:\n",
        pairs);
    std::printf("  ideal client                   %7.2f   %7.2f  %7.2f\n", bi.writeUs, bi.readUs,
                bi.perExchange());
    std::printf("  program                        %7.2f   %7.2f  %7.2f   ratio %.3f (write %.3f, "
                "read-back %.3f)\n",
                bt.writeUs, bt.readUs, bt.perExchange(), bt.perExchange() / bi.perExchange(),
                bt.writeUs / bi.writeUs, bt.readUs / bi.readUs);
    std::printf("  the program's last update log: %lld bytes\n",
                static_cast<long long>(logInfo.size()));
    std::printf("(The medians follow whatever else the machine did during each run; the piecewise "
                "best leaves that out and gives the verdict.)\n");
    benchutil::verdict("program time per SDO exchange, with its update log",
                       bt.perExchange() / bi.perExchange(), target);
    return 0;
}
