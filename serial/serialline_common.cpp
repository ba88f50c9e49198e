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

void reportDeadline(const char *what, std::uint32_t done, std::uint32_t size, std::uint32_t ms)
{
    report(std::string("Serial ") + what + ": " + std::to_string(done) + " of "
           + std::to_string(size) + " bytes within " + std::to_string(ms) + " ms");
}

void reportFailure(const char *what, std::uint32_t done, std::uint32_t size, std::uint32_t code)
{
    report(std::string("Serial ") + what + " failed after " + std::to_string(done) + " of "
           + std::to_string(size) + " bytes: " + systemErrorText(code));
}

std::wstring devicePath(std::uint32_t port)
{
    std::wostringstream path;
    path << L"\\\\.\\COM" << port;
    return path.str();
}

} // namespace SerialLine
