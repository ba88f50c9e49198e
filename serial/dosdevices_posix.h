#pragma once
// Where COM numbers are pinned on Linux: the dosdevices folder, whose
// entries named COM<n> link to serial devices. The tool lists and opens
// ports from it and the simulated node registers itself in it, so both find
// the folder and read its entries here. Plain C++ (no Qt): the simulator
// uses it too.

#include <cstdint>
#include <string>
#include <vector>

namespace PosixPorts {

// <config>/<company>/dosdevices, where <config> is the generic config location
// by the XDG base-directory rules: $XDG_CONFIG_HOME when it holds an absolute
// path (a relative one is ignored), otherwise $HOME/.config. Reads the
// environment on every call; does not look at the file system.
std::string dosDevicesDir();

// The names in folder `dir` but "." and "..", in name order; none when the
// folder cannot be read.
std::vector<std::string> folderNames(const std::string &dir);

// The paths of the entries of `dir` whose name gives COM `port` ("COM5",
// "com005"), in name order, dangling links included.
std::vector<std::string> comEntries(const std::string &dir, std::uint32_t port);

} // namespace PosixPorts
