#pragma once
// Start-up timing for the two wrapper programs of bench_startup. Only when
// QRIO_BENCH_EXIT_ON_SHOW is set: at the window's first paint the program
// prints "shown <ms>", the milliseconds since QRIO_BENCH_T0_NS (the parent's
// CLOCK_MONOTONIC reading just before it started this process), and leaves
// its event loop, so the process ends as if the window had been closed.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <ctime>

class StartupProbe : public QObject
{
public:
    static void watch(QWidget *window)
    {
        if (!qEnvironmentVariableIsSet("QRIO_BENCH_EXIT_ON_SHOW"))
            return;
        window->installEventFilter(new StartupProbe(window));
    }

protected:
    using QObject::QObject;

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Paint || m_done)
            return false;
        m_done = true;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long t = (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
        const long long t0 = qEnvironmentVariable("QRIO_BENCH_T0_NS").toLongLong();
        std::printf("shown %.3f\n", t0 > 0 ? double(t - t0) / 1e6 : -1.0);
        std::fflush(stdout);
        // After this paint has been delivered.
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return false;
    }

private:
    bool m_done = false;
};
