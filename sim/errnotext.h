#pragma once
// The simulator's error texts for failed system calls.

#include <cerrno>
#include <cstring>
#include <string>

namespace nodesim {

// "<what>: <errno's text>"; call it right after the call that failed.
inline std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace nodesim
