#pragma once
// Where COM numbers come from on Linux: the dosdevices folder (links named
// COM<n>) and the serial devices under /dev by a fixed table. The roots are
// parameters so tests can point them at temporary folders.

#include <cstdint>
#include <string>
#include <vector>

namespace PosixPorts {

struct Roots
{
    std::string dosDevices; // <config>/<company>/dosdevices
    std::string dev = "/dev";
    std::string sysClassTty = "/sys/class/tty";
};

// The roots in use: dosDevicesDir() (dosdevices_posix.h) and the device roots.
Roots defaultRoots();

// For tests: from now on defaultRoots() gives these device roots instead of
// /dev and /sys/class/tty, so a test sees only devices of its own making.
// Empty strings go back to the real roots.
void overrideDeviceRoots(const std::string &dev, const std::string &sysClassTty);

// The DOS device name list: dosdevices entries whose target exists (in name
// order), then COM names for the /dev table's devices that exist.
std::vector<std::wstring> dosDeviceNames(const Roots &roots);

// The device to open for COM n: the first dosdevices entry (in name order)
// whose name gives n, otherwise the table's device; empty when neither exists.
std::string devicePathForPort(std::uint32_t port, const Roots &roots);

} // namespace PosixPorts
