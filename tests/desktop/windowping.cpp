// The window never looks hung: the shipped program as its own process, its
// window on a virtual display (Xvfb), runs one whole update of a 1,000-byte
// firmware against canopen-node-sim as another process, Update pressed by a
// mouse click (xdotool). Meanwhile its window is pinged as a desktop does
// (_NET_WM_PING every 50 ms); a desktop offers to end a program that leaves
// a ping unanswered for a few seconds. Fails when any ping waited more than
// 1 s for its answer between the click and the success box, the mode
// switches' pauses included. Skipped (exit code 77) where Xvfb or xdotool
// is missing.

#include "wmping.h"

#include "tests/common/desktop.h"
#include "tests/common/hextestutil.h"
#include "tests/common/testsupport.h"
#include "tests/common/toolrun.h"

#include <QApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kSkipped = 77;
constexpr auto kPingInterval = std::chrono::milliseconds(50);
constexpr auto kLongestAllowed = std::chrono::milliseconds(1000);

int fail(const std::string &why)
{
    std::printf("FAIL: %s\n", why.c_str());
    return 1;
}

double secondsBetween(WmPinger::Clock::time_point a, WmPinger::Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

} // namespace

int main(int argc, char *argv[])
{
    for (const char *program : {"Xvfb", "xdotool"}) {
        if (!desktop::installed(program)) {
            std::printf("SKIP: %s is not installed (Debian packages xvfb and xdotool)\n", program);
            return kSkipped;
        }
    }
    testsupport::isolateConfig();
    desktop::Process xvfb;
    if (!desktop::startDisplay(xvfb))
        return fail("Xvfb did not start");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);

    QTemporaryDir dir;
    const QString program = toolrun::install(
        QStringLiteral(QRIO_PROGRAM), dir.filePath(QStringLiteral("app")), QStringLiteral("ping"),
        hextest::hexFile(testsupport::randomBytes(1000, 15), FlashGeometry::flashBase, "\r\n"));
    if (program.isEmpty())
        return fail("cannot set up the program in " + dir.path().toStdString());

    const QString nodeLog = dir.filePath(QStringLiteral("node.log"));
    desktop::Process sim;
    int com = 0;
    std::string slave, error;
    if (!desktop::startNodeSim(sim, QRIO_NODESIM, {"--log", nodeLog.toStdString()}, &com, &slave,
                               &error))
        return fail(error);

    const QPoint updateAt = toolrun::updateButtonCentre();
    if (updateAt.isNull())
        return fail("the window did not show on the virtual display");
    app.processEvents();
    toolrun::choose(1, com, QStringLiteral("ping"));

    WmPinger pinger;
    WmPinger::Clock::time_point clicked, done;
    toolrun::Update update;
    update.program = program;
    update.updateAt = updateAt;
    update.nodeLog = nodeLog;
    update.boxSeconds = 60;
    update.windowShown = [&](const std::string &window) {
        std::string why;
        if (!pinger.start(std::uint32_t(std::stoul(window)), kPingInterval, &why))
            return why.empty() ? std::string("the pinger did not start") : why;
        clicked = WmPinger::Clock::now();
        return std::string();
    };
    update.boxShown = [&] {
        pinger.stop();
        done = WmPinger::Clock::now();
    };
    const toolrun::Outcome outcome = toolrun::runUpdate(update);
    if (!outcome.ok())
        return fail(outcome.error);

    const WmPinger::Wait longest = pinger.longestWait();
    std::printf("%d pings, one every %d ms, %d answered, from the click to the success box "
                "(%.1f s); the longest wait for an answer: %lld ms, for the ping sent %.2f s "
                "after the click (allowed: %lld ms)\n",
                pinger.sent(), int(kPingInterval.count()), pinger.answered(),
                secondsBetween(clicked, done), static_cast<long long>(longest.length.count()),
                secondsBetween(clicked, longest.from),
                static_cast<long long>(kLongestAllowed.count()));
    if (longest.length > kLongestAllowed)
        return fail("the window left a desktop's ping unanswered for more than 1 s");
    std::printf("PASS\n");
    return 0;
}
