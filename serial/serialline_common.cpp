#include "serialline.h"

#include <sstream>

namespace SerialLine {

std::wstring devicePath(std::uint32_t port)
{
    std::wostringstream path;
    path << L"\\\\.\\COM" << port;
    return path.str();
}

} // namespace SerialLine
