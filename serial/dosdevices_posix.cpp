// The dosdevices folder on Linux (dosdevices_posix.h): where it is and what
// its entries are.

#include "dosdevices_posix.h"
#include "comname.h"

#include <algorithm>
#include <cstdlib>

#include <dirent.h>

namespace PosixPorts {

std::string dosDevicesDir()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string config;
    if (xdg && xdg[0] == '/') {
        config = xdg;
    } else {
        const char *home = std::getenv("HOME");
        config = std::string(home ? home : "") + "/.config";
    }
    return config + "/" QRIO_COMPANY "/dosdevices";
}

std::vector<std::string> folderNames(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *folder = ::opendir(dir.c_str());
    if (!folder)
        return names;
    while (const dirent *entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> comEntries(const std::string &dir, std::uint32_t port)
{
    std::vector<std::string> paths;
    for (const std::string &name : folderNames(dir)) {
        std::uint32_t n = 0;
        if (parseComDeviceName(name.c_str(), name.size(), &n) && n == port)
            paths.push_back(dir + "/" + name);
    }
    return paths;
}

} // namespace PosixPorts
