// Linux source of the DOS device name list: the dosdevices folder where users
// (and the node simulator) pin COM numbers, then the serial devices under
// /dev by a fixed table. The names then go through the shared COM filter.

#include "serialdevicescan.h"
#include "comname.h"
#include "serialdevicescan_posix.h"
#include "dosdevices_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <sys/stat.h>

namespace PosixPorts {

namespace {

struct TableEntry
{
    const char *prefix;
    std::uint32_t firstPort;
    bool needsUart;
};

// /dev/<prefix><k>, k = 0..99, is COM (firstPort + k).
const TableEntry kTable[] = {
    {"ttyS", 1, true},
    {"ttyUSB", 101, false},
    {"ttyACM", 201, false},
};
constexpr std::uint32_t kTableSpan = 100;

bool exists(const std::string &path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0; // follows links: a dangling one does not exist
}

// ttyS<k> has a UART behind it only when the kernel says so.
bool hasUart(const Roots &roots, const std::string &name)
{
    std::ifstream in(roots.sysClassTty + "/" + name + "/type");
    if (!in)
        return false;
    long type = 0;
    in >> type;
    return in && type != 0;
}

std::wstring widen(const std::string &s)
{
    return std::wstring(s.begin(), s.end());
}

// Names in the dosdevices folder whose target exists, in name order.
std::vector<std::string> dosDeviceEntries(const Roots &roots)
{
    std::vector<std::string> names = folderNames(roots.dosDevices);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&roots](const std::string &name) {
                                   return !exists(roots.dosDevices + "/" + name);
                               }),
                names.end());
    return names;
}

std::string tableDevice(std::uint32_t port, const Roots &roots)
{
    for (const TableEntry &t : kTable) {
        if (port < t.firstPort || port >= t.firstPort + kTableSpan)
            continue;
        const std::string name = t.prefix + std::to_string(port - t.firstPort);
        const std::string path = roots.dev + "/" + name;
        if (!exists(path) || (t.needsUart && !hasUart(roots, name)))
            return {};
        return path;
    }
    return {};
}

// The COM numbers of the table's devices present, ascending. One pass over
// the device folder instead of a lookup per possible device: this runs on
// every mouse press on the port box.
std::vector<std::uint32_t> tablePorts(const Roots &roots)
{
    std::vector<std::uint32_t> ports;
    for (const std::string &name : folderNames(roots.dev)) {
        for (const TableEntry &t : kTable) {
            const std::size_t prefixLength = std::strlen(t.prefix);
            if (name.size() <= prefixLength || name.compare(0, prefixLength, t.prefix) != 0)
                continue;
            // k as the table spells it: 0 to 99, no leading zero.
            const std::string digits = name.substr(prefixLength);
            if (digits.size() > 2 || (digits.size() == 2 && digits[0] == '0')
                || !std::all_of(digits.begin(), digits.end(),
                                [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            const std::uint32_t port = t.firstPort + static_cast<std::uint32_t>(std::stoul(digits));
            if (!tableDevice(port, roots).empty())
                ports.push_back(port);
        }
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

// Set by tests only (overrideDeviceRoots); empty means the real roots.
std::string g_devOverride;
std::string g_sysClassTtyOverride;

} // namespace

void overrideDeviceRoots(const std::string &dev, const std::string &sysClassTty)
{
    g_devOverride = dev;
    g_sysClassTtyOverride = sysClassTty;
}

Roots defaultRoots()
{
    Roots roots;
    if (!g_devOverride.empty())
        roots.dev = g_devOverride;
    if (!g_sysClassTtyOverride.empty())
        roots.sysClassTty = g_sysClassTtyOverride;
    roots.dosDevices = dosDevicesDir();
    return roots;
}

std::vector<std::wstring> dosDeviceNames(const Roots &roots)
{
    std::vector<std::wstring> names;
    for (const std::string &name : dosDeviceEntries(roots))
        names.push_back(widen(name));
    for (std::uint32_t port : tablePorts(roots))
        names.push_back(L"COM" + std::to_wstring(port));
    return names;
}

std::string devicePathForPort(std::uint32_t port, const Roots &roots)
{
    for (const std::string &path : comEntries(roots.dosDevices, port)) {
        if (exists(path))
            return path;
    }
    return tableDevice(port, roots);
}

} // namespace PosixPorts

bool SerialDeviceScan::UsingDosDeviceNames(std::vector<std::uint32_t> &ports)
{
    ports.clear();
    for (const std::wstring &name : PosixPorts::dosDeviceNames(PosixPorts::defaultRoots())) {
        std::uint32_t port = 0;
        if (parseComDeviceName(name.c_str(), name.size(), &port))
            ports.push_back(port);
    }
    return true;
}

unsigned long SerialDeviceScan::lastError()
{
    return static_cast<unsigned long>(errno);
}
