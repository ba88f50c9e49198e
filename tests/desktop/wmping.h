#pragma once
// Pings a window the way a desktop tells whether it hangs: a _NET_WM_PING
// client message every interval, on an X connection and a thread of its
// own. The window's toolkit answers by sending the message back to the root
// window; a window whose event loop does not run leaves the pings
// unanswered.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class WmPinger
{
public:
    using Clock = std::chrono::steady_clock;

    WmPinger() = default;
    WmPinger(const WmPinger &) = delete;
    WmPinger &operator=(const WmPinger &) = delete;
    ~WmPinger() { stop(); }

    // Starts pinging X window `window` on $DISPLAY. False, with *error, when
    // the display cannot be reached or the window does not take
    // _NET_WM_PING (its WM_PROTOCOLS property).
    bool start(std::uint32_t window, std::chrono::milliseconds interval, std::string *error);
    // Stops pinging; returns at once when not started.
    void stop();

    // After stop(): the longest any ping waited for its answer (one still
    // unanswered at stop() counts until then) and when that ping went out;
    // and the counts.
    struct Wait
    {
        std::chrono::milliseconds length{0};
        Clock::time_point from;
    };
    Wait longestWait() const;
    int sent() const;
    int answered() const;

private:
    void run();

    std::uint32_t m_window = 0;
    std::chrono::milliseconds m_interval{50};
    void *m_connection = nullptr; // xcb_connection_t, kept out of this header
    std::uint32_t m_protocolsAtom = 0;
    std::uint32_t m_pingAtom = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    bool m_stop = false;
    std::vector<Clock::time_point> m_sentAt;     // by sequence number
    std::vector<Clock::time_point> m_answeredAt; // the same; time_point() while unanswered
    Clock::time_point m_stoppedAt;
};
