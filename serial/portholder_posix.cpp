// Who holds a serial device on Linux (portholder_posix.h).

#include "portholder_posix.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

namespace PosixPorts {

namespace {

// Where terminal programs leave their lock files (/var/lock is often a link
// to /run/lock; both are looked at for systems where it is not).
const char *const kLockFolders[] = {"/run/lock", "/var/lock"};

std::string resolved(const std::string &path)
{
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

std::string programName(long pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// A process that exists, whoever's (EPERM: another user's).
bool alive(long pid)
{
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The process ID a lock file holds: ASCII digits, blank-padded, or the
// four bytes of a binary int as older programs write it; 0 when neither.
long lockFilePid(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find_first_not_of(" \t\n0123456789") == std::string::npos)
        return std::strtol(text.c_str(), nullptr, 10);
    int binary = 0;
    if (text.size() != sizeof binary)
        return 0;
    std::memcpy(&binary, text.data(), sizeof binary);
    return binary;
}

Holder holderOf(long pid, const std::string &how)
{
    return Holder{pid, programName(pid), how};
}

} // namespace

bool lockFileHolder(const std::string &device, Holder *holder)
{
    std::string name = resolved(device);
    if (name.compare(0, 5, "/dev/") == 0)
        name.erase(0, 5);
    for (char &c : name)
        c = c == '/' ? '_' : c;
    for (const char *folder : kLockFolders) {
        const std::string file = std::string(folder) + "/LCK.." + name;
        const long pid = lockFilePid(file);
        if (pid != long(getpid()) && alive(pid)) {
            *holder = holderOf(pid, "lock file " + file);
            return true;
        }
    }
    return false;
}

bool findOpener(const std::string &device, Holder *holder)
{
    const std::string target = resolved(device);
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    long found = 0;
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == long(getpid()) || (found && pid > found))
            continue;
        const std::string fds = "/proc/" + std::string(entry->d_name) + "/fd";
        DIR *dir = opendir(fds.c_str());
        while (const dirent *fd = dir ? readdir(dir) : nullptr) {
            char link[PATH_MAX];
            const ssize_t n = readlink((fds + "/" + fd->d_name).c_str(), link, sizeof link - 1);
            if (n > 0 && target.compare(0, std::string::npos, link, std::size_t(n)) == 0) {
                found = pid;
                break;
            }
        }
        if (dir)
            closedir(dir);
    }
    closedir(proc);
    if (found)
        *holder = holderOf(found, "has it open");
    return found != 0;
}

std::string describeHolder(const Holder &holder)
{
    const std::string process = "process " + std::to_string(holder.pid);
    return holder.program.empty() ? process : holder.program + " (" + process + ")";
}

} // namespace PosixPorts
