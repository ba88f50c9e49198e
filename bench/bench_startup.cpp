// Start-up time: from starting the process to its window shown (first
// paint), the tool's window (startup_real: app/main.cpp's start-up) beside a
// bare QMainWindow program started the same way (bare_mainwindow), on the
// offscreen platform. A third program with the tool's form alone
// (startup_form) splits the difference into the form's part and the rest.
// Starts take turns, N of each (QRIO_BENCH_STARTS, default 20), after two
// warm-up starts each. Target: the tool within 1.2x the bare window.
//
// Both programs print the time to their first paint, measured from this
// program's clock reading just before it started them, and then leave their
// event loop (QRIO_BENCH_EXIT_ON_SHOW); the time to the process's end is
// given too.

#include "benchutil.h"
#include "tests/common/testsupport.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

long long monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

struct Start
{
    double shownMs = -1;
    double exitMs = -1;
};

// Starts `program`, waits for its end; false when it did not report a paint.
bool startOnce(const std::string &program, Start *out)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};

    const long long t0 = monotonicNs();
    setenv("QRIO_BENCH_T0_NS", std::to_string(t0).c_str(), 1);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const long long t1 = monotonicNs();

    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0)
        text.append(buf, std::size_t(n));
    close(pipeFds[0]);
    out->exitMs = double(t1 - t0) / 1e6;
    const auto at = text.find("shown ");
    if (at == std::string::npos || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    out->shownMs = std::atof(text.c_str() + at + 6);
    return out->shownMs > 0;
}

void print(const char *what, const std::vector<double> &v)
{
    std::printf("  %-38s median %7.1f ms   min %7.1f ms   (%zu starts)\n", what,
                benchutil::median(v), benchutil::minimum(v), v.size());
}

} // namespace

int main()
{
    // The settings store and the port folder of a fresh user, shared by both.
    testsupport::isolateConfig();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("QRIO_BENCH_EXIT_ON_SHOW", "1", 1);

    struct Program
    {
        const char *label;
        std::string path;
        std::vector<double> shown, exit;
    };
    Program programs[] = {{"tool (" QRIO_EXE_NAME ")", QRIO_STARTUP_REAL, {}, {}},
                          {"bare QMainWindow", QRIO_STARTUP_BARE, {}, {}},
                          {"QMainWindow with the tool's form only", QRIO_STARTUP_FORM, {}, {}}};
    Program &tool = programs[0];
    Program &bare = programs[1];
    Program &form = programs[2];
    const int n = benchutil::envCount("QRIO_BENCH_STARTS", 20);
    std::printf("bench_startup: process start to window shown (first paint), offscreen platform, "
                "%d starts each, taking turns\n",
                n);
    for (const Program &p : programs)
        std::printf("  %-38s %s\n", p.label, p.path.c_str());
    if (!QFileInfo::exists(QFileInfo(QString::fromStdString(tool.path))
                               .dir()
                               .filePath(QStringLiteral(QRIO_FIRMWARE_FOLDER "/README.txt"))))
        std::printf("  (no \"Kelvo Firmware\" folder beside the tool's wrapper: its file list "
                    "stays empty)\n");

    Start s;
    for (int i = 0; i < 2; ++i) {
        for (Program &p : programs) {
            if (!startOnce(p.path, &s)) {
                std::printf("%s did not start or did not report its window\n", p.path.c_str());
                return 1;
            }
        }
    }
    for (int i = 0; i < n; ++i) {
        // The order turns with every round: tool, bare, form; bare, form, tool; ...
        for (int k = 0; k < 3; ++k) {
            Program &p = programs[(i + k) % 3];
            if (!startOnce(p.path, &s)) {
                std::printf("a start of %s failed\n", p.path.c_str());
                return 1;
            }
            p.shown.push_back(s.shownMs);
            p.exit.push_back(s.exitMs);
        }
    }
    std::printf("Start to window shown:\n");
    for (const Program &p : programs)
        print(p.label, p.shown);
    std::printf("Start to process end (window shown, then closed):\n");
    for (const Program &p : programs)
        print(p.label, p.exit);
    const double ratio = benchutil::median(tool.shown) / benchutil::median(bare.shown);
    std::printf("Split of the tool's start-up to window shown (medians):\n");
    std::printf("  bare window                                        %7.1f ms\n",
                benchutil::median(bare.shown));
    std::printf("  + the tool's form (widgets, fonts, texts)          %+7.1f ms\n",
                benchutil::median(form.shown) - benchutil::median(bare.shown));
    std::printf("  + ports, settings, firmware list, explanation text %+7.1f ms\n",
                benchutil::median(tool.shown) - benchutil::median(form.shown));
    std::printf("  tool against the form alone: %.3fx\n",
                benchutil::median(tool.shown) / benchutil::median(form.shown));
    std::printf("Fastest starts, tool / bare: %.3f to window shown (tool / form alone: %.3f)\n",
                benchutil::minimum(tool.shown) / benchutil::minimum(bare.shown),
                benchutil::minimum(tool.shown) / benchutil::minimum(form.shown));
    std::printf("Ratio to process end (tool / bare): %.3f\n",
                benchutil::median(tool.exit) / benchutil::median(bare.exit));
    std::printf(
        "VERDICT start-up to window shown: %.3fx the bare QMainWindow, target <= 1.20x: %s\n",
        ratio, ratio <= 1.2 ? "met" : "MISSED");
    return 0;
}
