// The serial line's parts that are the same on every platform
// (serialline.h): the diagnostic sink and the device path of a COM number.

#include "serialline.h"

#include <sstream>

namespace SerialLine {

namespace {

DiagnosticSink g_sink = nullptr;

} // namespace

void setDiagnosticSink(DiagnosticSink sink)
{
    g_sink = sink;
}

void report(const std::string &line)
{
    if (g_sink)
        g_sink(line);
}

std::wstring devicePath(std::uint32_t port)
{
    std::wostringstream path;
    path << L"\\\\.\\COM" << port;
    return path.str();
}

} // namespace SerialLine
