// Full-update times on real lines, timed with the simulator's line model:
// the shipped program as users run it (its own process, its window on Xvfb,
// Update clicked) against canopen-node-sim as another process, whose
// --baud, --can-bitrate and --adapter-latency hold each reply back by what
// that serial line, CAN bus and adapter would cost (sim/linemodel.cpp).
//
// A full image takes minutes on a slow line, so each line runs a 4096-byte
// image (16 blocks: 1 + 16 * 65 write and 16 * 65 read-back SDO exchanges)
// and scales it up: the whole update as the node saw it (its first request
// to its last reply: mode switches, both pauses, transfers), with the
// transfers replaced by 66,561 exchanges at the small run's time per
// exchange (flash key to firmware mark, from the node's timestamps).
// QRIO_LINETIME_FULL=1 adds one full 131072-byte update on the fastest line,
// to set a real full run beside its estimate.

#include "benchutil.h"
#include "logfiles.h"

#include "sim/linemodel.h"
#include "tests/common/desktop.h"
#include "tests/common/hextestutil.h"
#include "tests/common/toolrun.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <string>
#include <vector>

using namespace logfiles;

namespace {

constexpr int kSmallBytes = 16 * FlashGeometry::blockSize;
constexpr int exchangesFor(int bytes)
{
    const int blocks = FlashGeometry::blocksFor(bytes);
    // the flash key, then per block its words and the store command; per
    // block the load command and its words
    return 1 + 2 * (FlashGeometry::wordsPerBlock + 1) * blocks;
}
constexpr int kFullExchanges = exchangesFor(FlashGeometry::flashSize); // 66,561

struct Run
{
    double wholeS = 0;    // the node's first request to its last reply
    double transferS = 0; // flash key to firmware mark
    int exchanges = 0;
    QString writeLine, readLine; // the program's update log
    double perExchangeMs() const { return transferS * 1000 / exchanges; }
    double fullS() const { return wholeS - transferS + perExchangeMs() / 1000 * kFullExchanges; }
};

struct Setup
{
    QString program;
    QPoint updateAt;
    QString dir;
};

std::string minutes(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d min %02d s", int(s + 0.5) / 60, int(s + 0.5) % 60);
    return buf;
}

// One update of <hexName>.hex (`bytes` long) on `line`; false with a message
// printed when it did not end in success.
bool runUpdate(const Setup &setup, const nodesim::LineModel &line, const QString &hexName,
               int bytes, Run *run)
{
    std::vector<std::string> options;
    if (line.baud > 0)
        options.insert(options.end(), {"--baud", std::to_string(line.baud)});
    if (line.canBitrate > 0)
        options.insert(options.end(), {"--can-bitrate", std::to_string(line.canBitrate)});
    if (line.adapterLatencyMs > 0)
        options.insert(options.end(), {"--adapter-latency", std::to_string(line.adapterLatencyMs)});
    // A log of its own per run: the press below waits for its first record.
    static int runs = 0;
    const QString nodeLog = setup.dir + QStringLiteral("/node-%1.log").arg(++runs);
    options.insert(options.end(), {"--log", nodeLog.toStdString()});
    desktop::Process sim;
    int com = 0;
    std::string slave, error;
    if (!desktop::startNodeSim(sim, QRIO_NODESIM, options, &com, &slave, &error)) {
        std::printf("%s\n", error.c_str());
        return false;
    }
    toolrun::choose(1, com, hexName);

    toolrun::Update update;
    update.program = setup.program;
    update.updateAt = setup.updateAt;
    update.nodeLog = nodeLog;
    update.boxSeconds = 1800;
    const toolrun::Outcome outcome = toolrun::runUpdate(update);
    if (!outcome.ok()) {
        std::printf("%s\n", outcome.error.c_str());
        return false;
    }
    sim.stop(); // its log is complete once it has ended

    const std::vector<NodeRecord> records = nodeRecords(nodeLog, 0);
    double first = -1, last = -1, key = -1, mark = -1;
    for (const NodeRecord &r : records) {
        if (first < 0 && r.received)
            first = r.us;
        if (!r.received)
            last = r.us;
        if (isCommand(r, NodeObjects::cmdFlashKey))
            key = r.us;
        if (isCommand(r, NodeObjects::cmdFirmwareMark))
            mark = r.us;
    }
    if (first < 0 || last < 0 || key < 0 || mark < 0) {
        std::printf("the node's log in %s misses the update's records\n", qPrintable(nodeLog));
        return false;
    }
    run->wholeS = (last - first) / 1e6;
    run->transferS = (mark - key) / 1e6;
    run->exchanges = exchangesFor(bytes);
    run->writeLine = logLine(outcome.updateLog, "Flash write:");
    run->readLine = logLine(outcome.updateLog, "Read-back:");
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    benchutil::prepareProcess();
    desktop::Process xvfb;
    if (!desktop::startDisplay(xvfb)) {
        std::printf("bench_linetime: Xvfb did not start\n");
        return 1;
    }
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    benchutil::printMode("bench_linetime");

    QTemporaryDir dir;
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("QRIO_BENCH_KEEP"));
    Setup setup;
    setup.dir = dir.path();
    const QString programDir = dir.filePath(QStringLiteral("app"));
    setup.program =
        toolrun::install(QStringLiteral(QRIO_PROGRAM), programDir, QStringLiteral("small"),
                         hextest::hexFile(testsupport::randomBytes(kSmallBytes, 7),
                                          FlashGeometry::flashBase, "\r\n"));
    const bool full = qEnvironmentVariableIntValue("QRIO_LINETIME_FULL") == 1;
    if (setup.program.isEmpty()
        || (full
            && !hextest::writeFile(
                programDir + QStringLiteral("/" QRIO_FIRMWARE_FOLDER "/full.hex"),
                hextest::hexFile(testsupport::randomBytes(FlashGeometry::flashSize, 8),
                                 FlashGeometry::flashBase, "\r\n")))) {
        std::printf("cannot set up the program in %s\n", qPrintable(programDir));
        return 1;
    }
    setup.updateAt = toolrun::updateButtonCentre();
    if (setup.updateAt.isNull()) {
        std::printf("the window did not show on the virtual display\n");
        return 1;
    }
    app.processEvents();

    std::printf("bench_linetime: the shipped program against canopen-node-sim with its line "
                "model; a %d-byte image (%d SDO exchanges) per line, scaled to a full image "
                "(%d exchanges)\n",
                kSmallBytes, exchangesFor(kSmallBytes), kFullExchanges);
    std::fflush(stdout);
    const std::vector<nodesim::LineModel> lines = {
        {0, 0, 0},
        {115200, 500000, 1},
        {115200, 125000, 1},
        {115200, 500000, 16},
        {921600, 1000000, 0},
    };
    std::printf("%-34s %10s %11s %12s %14s\n", "line (serial, CAN, adapter)", "line's ms",
                "ms/exchange", "small run", "full image");
    for (const nodesim::LineModel &line : lines) {
        Run run;
        if (!runUpdate(setup, line, QStringLiteral("small"), kSmallBytes, &run))
            return 1;
        char name[64];
        if (line.baud == 0)
            std::snprintf(name, sizeof name, "none (pseudo-terminal only)");
        else
            std::snprintf(name, sizeof name, "%ld baud, %ld kbit/s, %d ms", line.baud,
                          line.canBitrate / 1000, line.adapterLatencyMs);
        const double modelMs = double((nodesim::toNode(line, SerialCanFrame::SdoRecordSize)
                                       + nodesim::fromNode(line, SerialCanFrame::SdoRecordSize))
                                          .count())
                               / 1e6;
        std::printf("%-34s %10.3f %11.3f %10.1f s %14s\n", name, modelMs, run.perExchangeMs(),
                    run.wholeS, minutes(run.fullS()).c_str());
        std::printf("    its update log: %s | %s\n", qPrintable(run.writeLine),
                    qPrintable(run.readLine));
        std::fflush(stdout);
    }
    if (full) {
        const nodesim::LineModel line = lines.back();
        Run small, whole;
        if (!runUpdate(setup, line, QStringLiteral("small"), kSmallBytes, &small)
            || !runUpdate(setup, line, QStringLiteral("full"), FlashGeometry::flashSize, &whole))
            return 1;
        std::printf("Check of the scaling on %ld baud, %ld kbit/s, %d ms: estimate from the small "
                    "image %.1f s, a full image measured %.1f s (%.3f ms/exchange)\n",
                    line.baud, line.canBitrate / 1000, line.adapterLatencyMs, small.fullS(),
                    whole.wholeS, whole.perExchangeMs());
        std::printf("    its update log: %s | %s\n", qPrintable(whole.writeLine),
                    qPrintable(whole.readLine));
    }
    return 0;
}
