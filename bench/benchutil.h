#pragma once
// Small helpers shared by the benchmark programs.

#include "tests/common/testsupport.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace benchutil {

using Clock = std::chrono::steady_clock;

inline double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double minimum(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

inline double maximum(const std::vector<double> &v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

inline double mean(const std::vector<double> &v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

// The value below which `fraction` of the values lie (0.99: the 99th
// percentile), by rank: element floor(n * fraction) of the sorted values.
inline double percentile(std::vector<double> v, double fraction)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(double(v.size()) * fraction))];
}

// One figure of each run: `field` is a data member, a const member function
// or any callable taking a run.
template <typename Run, typename Field>
std::vector<double> column(const std::vector<Run> &runs, Field field)
{
    std::vector<double> out;
    out.reserve(runs.size());
    for (const Run &r : runs)
        out.push_back(double(std::invoke(field, r)));
    return out;
}

template <typename Run, typename Field>
double medianOf(const std::vector<Run> &runs, Field field)
{
    return median(column(runs, field));
}

// The ideal client's turn and the tool's turn of pair (or chunk) `i` in ABBA
// order: ideal first in even pairs, tool first in odd ones, so that a steady
// drift of the machine's load evens out. Stops at the first turn that fails;
// *toolFailed then tells whose turn it was.
template <typename Ideal, typename Tool>
bool abbaPair(int i, Ideal &&ideal, Tool &&tool, bool *toolFailed = nullptr)
{
    for (int turn = 0; turn < 2; ++turn) {
        const bool toolTurn = (turn == 0) == (i % 2 == 1);
        if (!(toolTurn ? tool() : ideal())) {
            if (toolFailed)
                *toolFailed = toolTurn;
            return false;
        }
    }
    return true;
}

// Settings isolated from the user's; the offscreen platform unless the
// caller chose one.
inline void prepareProcess()
{
    testsupport::isolateConfig();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Runs args[0] (looked up in PATH unless it holds a slash) with its output
// and errors discarded. Its exit status, or -1 when it could not be started
// or did not exit normally.
inline int runDiscardingOutput(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// A count from the environment (e.g. QRIO_BENCH_RUNS), or `fallback`.
inline int envCount(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

inline bool debugOutputOn()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}

// One line that says which logging mode this run is in, and the matching
// target ratio.
inline double printMode(const char *program)
{
    const bool on = debugOutputOn();
    std::printf("%s: debug output %s\n", program,
                on ? "ON (qDebug enabled; send stderr to /dev/null)"
                   : "OFF (QT_LOGGING_RULES=\"*.debug=false\")");
    return on ? 1.30 : 1.10;
}

inline void verdict(const char *what, double ratio, double target)
{
    std::printf("VERDICT %s: %.3fx the ideal client, target <= %.2fx (debug output %s): %s\n", what,
                ratio, target, debugOutputOn() ? "on" : "off", ratio <= target ? "met" : "MISSED");
}

} // namespace benchutil
