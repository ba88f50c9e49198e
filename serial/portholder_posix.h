#pragma once
// Who holds a serial device on Linux, beyond what the device itself refuses:
// terminal programs announce their hold in a UUCP-style lock file
// (LCK..ttyUSB0 in /run/lock or /var/lock) or set the device to exclusive
// use, and any process shows its open devices under /proc/<pid>/fd. No Qt.

#include <string>

namespace PosixPorts {

struct Holder
{
    long pid = 0;
    std::string program; // its /proc/<pid>/comm; empty when that cannot be read
    std::string how;     // how it was found, e.g. "lock file /run/lock/LCK..ttyUSB0"
};

// The live process other than this one named in a lock file for `device`
// (any path to it: links are resolved): LCK..<its name below /dev, '/' as
// '_'> in /run/lock or /var/lock, holding the process ID as ASCII text
// ("%10d\n") or as a binary int. False when there is no such file or its
// process has ended (a stale file holds nothing). Reads a few small files.
bool lockFileHolder(const std::string &device, Holder *holder);

// A process other than this one with `device` open, found through the links
// in /proc/<pid>/fd (the lowest process ID first); false when none can be
// seen (e.g. another user's processes, unless run as root). Reads every
// process's descriptor table: for failures only.
bool findOpener(const std::string &device, Holder *holder);

// "minicom (process 4711)", or "process 4711" when its name is unknown.
std::string describeHolder(const Holder &holder);

} // namespace PosixPorts
