// Full-update times on real lines, timed with the simulator's line model:
// the shipped program as users run it (its own process, its window on Xvfb,
// Update clicked) against canopen-node-sim as another process, whose
// --baud, --can-bitrate and --adapter-latency hold each reply back by what
// that serial line, CAN bus and adapter would cost (sim/linemodel.cpp). The
// ideal client (idealclient.h) runs the same update on the same line first,
// so that what the line and the simulator cost is told apart from what the
// program adds.
//
// A full image takes minutes on a slow line, so each line runs a 4096-byte
// image (16 blocks: 1 + 16 * 65 write and 16 * 65 read-back SDO exchanges)
// and scales it up: the whole update as the node saw it (its first request
// to its last reply: mode switches, both pauses, transfers), with the
// transfers replaced by 66,561 exchanges at the small run's time per
// exchange (flash key to firmware mark, from the node's timestamps).
// The line model's floor beside it is the time the modelled line alone
// takes: toNode + fromNode of an 11-byte record per exchange, times 66,561,
// plus the two mode-switch pauses (canopen/modepauses.h).
// The node's timestamps also split each exchange into the node's hold (its
// request read to its reply written: the model plus the simulator's
// lateness) and the turn (its reply written to the next request read: the
// client, the pseudo-terminal and the simulator's wake-up).
// QRIO_LINETIME_FULL=1 adds one full 131072-byte update on the fastest line,
// to set a real full run beside its estimate.
//
// Besides its table, each line gives one machine-readable line for
// scripts/bench.sh: "LINETIME" and, split by "|", the line's name, then the
// model's floor, the ideal client and the program in ms per exchange, the
// same three in s per full update, and in us per exchange the node's hold
// beyond the model, the ideal client's turn and the program's turn.

#include "benchutil.h"
#include "idealclient.h"
#include "logfiles.h"

#include "canopen/modepauses.h"
#include "firmware/hexparser.h"
#include "sim/linemodel.h"
#include "tests/common/desktop.h"
#include "tests/common/hextestutil.h"
#include "tests/common/toolrun.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <cstdint>
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
    double holdUs = 0;           // mean of the node's request read to its reply written
    double turnUs = 0;           // mean of its reply written to the next request read
    QString writeLine, readLine; // the program's update log
    double perExchangeMs() const { return transferS * 1000 / exchanges; }
    double fullS() const { return wholeS - transferS + perExchangeMs() / 1000 * kFullExchanges; }
};

struct Setup
{
    QString program;
    QPoint updateAt;
    QString dir;
    std::vector<std::uint8_t> image; // the small image as the program writes it, from byte 0
};

std::string minutes(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d min %02d s", int(s + 0.5) / 60, int(s + 0.5) % 60);
    return buf;
}

double modelMs(const nodesim::LineModel &line)
{
    const auto ns = nodesim::toNode(line, SerialCanFrame::SdoRecordSize)
                    + nodesim::fromNode(line, SerialCanFrame::SdoRecordSize);
    return double(ns.count()) / 1e6;
}

// The modelled line alone through a full update: every exchange at the
// model's time and both pauses.
double floorS(const nodesim::LineModel &line)
{
    const auto pauses = ModePauses::afterBootStep1 + ModePauses::afterUserMode;
    return modelMs(line) / 1000 * kFullExchanges + std::chrono::duration<double>(pauses).count();
}

// The update in the node's records from `offset` on; false when they miss
// its marks.
bool runOf(const QString &nodeLog, qint64 offset, int bytes, Run *run)
{
    const std::vector<NodeRecord> records = nodeRecords(nodeLog, offset);
    double first = -1, last = -1, key = -1, mark = -1;
    double hold = 0, turn = 0, lastIn = -1, lastOut = -1;
    int holds = 0, turns = 0;
    for (const NodeRecord &r : records) {
        if (first < 0 && r.received)
            first = r.us;
        if (!r.received)
            last = r.us;
        if (isCommand(r, NodeObjects::cmdFlashKey))
            key = r.us;
        if (isCommand(r, NodeObjects::cmdFirmwareMark))
            mark = r.us;
        if (key < 0 || mark >= 0)
            continue;
        if (r.received) {
            if (lastOut >= 0) {
                turn += r.us - lastOut;
                ++turns;
            }
            lastIn = r.us;
            lastOut = -1;
        } else if (lastIn >= 0) {
            hold += r.us - lastIn;
            ++holds;
            lastOut = r.us;
            lastIn = -1;
        }
    }
    if (first < 0 || last < 0 || key < 0 || mark < 0 || holds == 0 || turns == 0) {
        std::printf("the node's log in %s misses the update's records\n", qPrintable(nodeLog));
        return false;
    }
    run->wholeS = (last - first) / 1e6;
    run->transferS = (mark - key) / 1e6;
    run->exchanges = exchangesFor(bytes);
    run->holdUs = hold / holds;
    run->turnUs = turn / turns;
    return true;
}

// One update of the small image by the ideal client, then one of
// <hexName>.hex (`bytes` long) by the program, on `line`; false with a
// message printed when one did not end in success. `ideal` may be null.
bool runLine(const Setup &setup, const nodesim::LineModel &line, const QString &hexName, int bytes,
             Run *ideal, Run *program)
{
    std::vector<std::string> options;
    if (line.baud > 0)
        options.insert(options.end(), {"--baud", std::to_string(line.baud)});
    if (line.canBitrate > 0)
        options.insert(options.end(), {"--can-bitrate", std::to_string(line.canBitrate)});
    if (line.adapterLatencyMs > 0)
        options.insert(options.end(), {"--adapter-latency", std::to_string(line.adapterLatencyMs)});
    // A log of its own per line: the press below waits for it to grow.
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
    if (ideal) {
        std::vector<std::uint8_t> readBack(kSmallBytes);
        error = idealclient::update(slave, 1, setup.image.data(),
                                    FlashGeometry::blocksFor(kSmallBytes), readBack.data());
        if (!error.empty()) {
            std::printf("ideal client update failed: %s\n", error.c_str());
            return false;
        }
        QThread::msleep(400); // the node writes its log every 200 ms
        if (!runOf(nodeLog, 0, kSmallBytes, ideal))
            return false;
    }
    const qint64 offset = QFileInfo(nodeLog).size();
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
    if (!runOf(nodeLog, offset, bytes, program))
        return false;
    program->writeLine = logLine(outcome.updateLog, "Flash write:");
    program->readLine = logLine(outcome.updateLog, "Read-back:");
    return true;
}

QString lineName(const nodesim::LineModel &line)
{
    if (line.baud == 0)
        return QStringLiteral("none (pseudo-terminal only)");
    return QStringLiteral("%1 baud, %2 kbit/s, %3 ms")
        .arg(line.baud)
        .arg(line.canBitrate / 1000)
        .arg(line.adapterLatencyMs);
}

void printLine(const nodesim::LineModel &line, const Run &ideal, const Run &program)
{
    const double model = modelMs(line);
    std::printf("%-34s %9.3f %9.3f %9.3f %8.3fx %13s %13s %13s\n", qPrintable(lineName(line)),
                model, ideal.perExchangeMs(), program.perExchangeMs(),
                program.perExchangeMs() / ideal.perExchangeMs(), minutes(floorS(line)).c_str(),
                minutes(ideal.fullS()).c_str(), minutes(program.fullS()).c_str());
    std::printf("    per exchange: node's hold %.0f us (model %.0f us, so %+.0f us late), turn "
                "%.0f us ideal, %.0f us program\n",
                program.holdUs, model * 1000, program.holdUs - model * 1000, ideal.turnUs,
                program.turnUs);
    std::printf("    its update log: %s | %s\n", qPrintable(program.writeLine),
                qPrintable(program.readLine));
    std::printf("LINETIME %s|%.3f|%.3f|%.3f|%.1f|%.1f|%.1f|%.0f|%.0f|%.0f\n",
                qPrintable(lineName(line)), model, ideal.perExchangeMs(), program.perExchangeMs(),
                floorS(line), ideal.fullS(), program.fullS(), program.holdUs - model * 1000,
                ideal.turnUs, program.turnUs);
    std::fflush(stdout);
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
    const QByteArray smallHex = hextest::hexFile(testsupport::randomBytes(kSmallBytes, 7),
                                                 FlashGeometry::flashBase, "\r\n");
    setup.program = toolrun::install(QStringLiteral(QRIO_PROGRAM), programDir,
                                     QStringLiteral("small"), smallHex);
    // The image as the program writes it (with the vector checksum word).
    setup.image.resize(FlashGeometry::flashSize); // the loader fills all of it
    const bool full = qEnvironmentVariableIntValue("QRIO_LINETIME_FULL") == 1;
    if (setup.program.isEmpty()
        || HexParser::loadImage(smallHex.constData(), std::size_t(smallHex.size()),
                                setup.image.data())
                   .size
               != kSmallBytes
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

    std::printf("bench_linetime: the ideal client, then the shipped program, against "
                "canopen-node-sim with its line model; a %d-byte image (%d SDO exchanges) per "
                "line, scaled to a full image (%d exchanges)\n",
                kSmallBytes, exchangesFor(kSmallBytes), kFullExchanges);
    std::fflush(stdout);
    const std::vector<nodesim::LineModel> lines = {
        {0, 0, 0},
        {115200, 500000, 1},
        {115200, 125000, 1},
        {115200, 500000, 16},
        {921600, 1000000, 0},
    };
    std::printf("%-34s %29s %9s %41s\n", "", "ms per exchange", "", "full image");
    std::printf("%-34s %9s %9s %9s %9s %13s %13s %13s\n", "line (serial, CAN, adapter)", "model",
                "ideal", "program", "prog/ideal", "model floor", "ideal", "program");
    for (const nodesim::LineModel &line : lines) {
        Run ideal, program;
        if (!runLine(setup, line, QStringLiteral("small"), kSmallBytes, &ideal, &program))
            return 1;
        printLine(line, ideal, program);
    }
    if (full) {
        const nodesim::LineModel line = lines.back();
        Run ideal, small, whole;
        if (!runLine(setup, line, QStringLiteral("small"), kSmallBytes, &ideal, &small)
            || !runLine(setup, line, QStringLiteral("full"), FlashGeometry::flashSize, nullptr,
                        &whole))
            return 1;
        std::printf("Check of the scaling on %s: estimate from the small image %.1f s, a full "
                    "image measured %.1f s (%.3f ms/exchange)\n",
                    qPrintable(lineName(line)), small.fullS(), whole.wholeS, whole.perExchangeMs());
        std::printf("    its update log: %s | %s\n", qPrintable(whole.writeLine),
                    qPrintable(whole.readLine));
    }
    return 0;
}
