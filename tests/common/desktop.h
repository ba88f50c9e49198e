#pragma once
// Running programs as a user would, for the desktop checks and the
// benchmarks: child processes, a virtual X display (Xvfb) and clicks and
// window searches by xdotool.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace desktop {

// A child process, ended (SIGTERM, then SIGKILL) when this object goes.
class Process
{
public:
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process() { stop(); }

    // Starts args[0] (looked up in PATH unless it holds a slash) with this
    // process's environment. Its stdout goes to *readFd when that is given
    // (a pipe's read end for the caller), else to /dev/null; stderr to
    // /dev/null. False when it could not be started.
    bool start(const std::vector<std::string> &args, int *readFd = nullptr)
    {
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int fds[2] = {-1, -1};
        if (readFd && ::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (readFd)
            posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (readFd) {
            ::close(fds[1]);
            *readFd = fds[0];
        }
        if (rc != 0)
            m_pid = -1;
        return rc == 0;
    }

    pid_t pid() const { return m_pid; }

    // SIGTERM, then SIGKILL after 3 s; waits for it. Does nothing when not running.
    void stop()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// One line from `fd`, without its line end; blocks until it is in or the
// writer closes its end.
inline std::string readLine(int fd)
{
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// Xvfb on a free display number; sets DISPLAY for this process and its
// children and QT_QPA_PLATFORM to xcb, so that a QApplication made after
// this call shows there too. SIGPIPE is ignored from here on: a child that
// ends early must not end this process through its closed pipe. False when
// Xvfb did not come up.
inline bool startDisplay(Process &xvfb)
{
    std::signal(SIGPIPE, SIG_IGN);
    int fd = -1;
    // -displayfd: the server picks a free number and writes it once it serves.
    if (!xvfb.start({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                    &fd))
        return false;
    const std::string number = readLine(fd);
    ::close(fd);
    if (number.empty())
        return false;
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    return true;
}

// The first line a shell command prints (its other output discarded).
inline std::string firstLineOf(const std::string &command)
{
    std::FILE *p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p)
        return std::string();
    std::string line;
    char buf[256];
    if (std::fgets(buf, sizeof buf, p))
        line = buf;
    while (std::fgets(buf, sizeof buf, p)) {
    }
    ::pclose(p);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

// The id of a visible window of process `pid` whose title matches the
// regular expression `title`, waiting up to `seconds`; empty when none came.
inline std::string waitForWindow(pid_t pid, const std::string &title, int seconds)
{
    return firstLineOf("timeout " + std::to_string(seconds)
                       + " xdotool search --all --sync --onlyvisible --pid " + std::to_string(pid)
                       + " --name '" + title + "'");
}

// A left click at (x, y) inside window `id`.
inline bool click(const std::string &id, int x, int y)
{
    return std::system(("xdotool mousemove --window " + id + " " + std::to_string(x) + " "
                        + std::to_string(y) + " click 1")
                           .c_str())
           == 0;
}

inline bool key(const std::string &id, const std::string &keyName)
{
    return std::system(("xdotool key --window " + id + " " + keyName).c_str()) == 0;
}

// Whether `program` is found in PATH.
inline bool installed(const std::string &program)
{
    return !firstLineOf("command -v " + program).empty();
}

// Presses the button at (x, y) of window `id` as a user's hand does: the
// pointer comes from outside once the window has settled (500 ms), and
// since a click that comes before the window takes input is lost, it is
// clicked again (up to 5 times, 3 s apart) until `started()` says the click
// took. Returns whether it did.
template <typename Started>
bool pressButton(const std::string &id, int x, int y, Started started)
{
    std::system("xdotool mousemove 1000 700");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int attempt = 0; attempt < 5 && !started(); ++attempt) {
        click(id, x, y);
        for (int i = 0; i < 30 && !started(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return started();
}

// canopen-node-sim (`exe`) as a process of its own with `options`, once it
// serves: *com and *slave from the line it prints ("COM<n> <slave path>").
// False, with *error, when it did not start or said something else.
inline bool startNodeSim(Process &sim, const std::string &exe,
                         const std::vector<std::string> &options, int *com, std::string *slave,
                         std::string *error)
{
    std::vector<std::string> args{exe, "--com", "auto"};
    args.insert(args.end(), options.begin(), options.end());
    int out = -1;
    if (!sim.start(args, &out)) {
        *error = "canopen-node-sim did not start";
        return false;
    }
    const std::string announced = readLine(out);
    ::close(out);
    char path[256] = {};
    if (std::sscanf(announced.c_str(), "COM%d %255s", com, path) != 2) {
        *error = "canopen-node-sim said \"" + announced + "\"";
        return false;
    }
    *slave = path;
    return true;
}

} // namespace desktop
