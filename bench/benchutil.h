#pragma once
// Small helpers shared by the benchmark programs.

#include <QByteArray>
#include <QLoggingCategory>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

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
