// The serial line on Windows: the COM port driven through the Win32
// communications functions, synchronous, with 4000 ms total read and write
// deadlines. The line is made byte-transparent at open where the driver
// lets it (linestate_win.h); speed, parity and stop bits stay as the driver
// has them.

#include "linestate_win.h"
#include "openfailure.h"
#include "serialline.h"

#include <windows.h>

#include <string>

namespace SerialLine {

namespace {

HANDLE toHandle(Handle h)
{
    return reinterpret_cast<HANDLE>(h);
}

// Reports a read or write that failed or ended short. `code` is
// GetLastError's, taken right after the call.
void reportShort(const char *what, BOOL ok, DWORD code, DWORD count, std::uint32_t size,
                 std::uint32_t timeoutMs)
{
    if (ok)
        reportDeadline(what, count, size, timeoutMs);
    else
        reportFailure(what, count, size, code);
}

OpenFailure kindOf(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return OpenFailure::Missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return OpenFailure::InUse;
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
        return OpenFailure::Gone;
    default:
        return OpenFailure::Refused;
    }
}

// "COM12" of "\\.\COM12", for the reports.
std::string portName(const std::wstring &path)
{
    std::string name;
    for (wchar_t c : path.substr(path.rfind(L'\\') + 1))
        name += c < 0x80 ? char(c) : '?';
    return name;
}

} // namespace

std::string systemErrorText(std::uint32_t code)
{
    char text[512] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               code, 0, text, sizeof text, nullptr);
    // The system's texts end in ".\r\n"; the report is one line.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        text[--n] = '\0';
    return "error " + std::to_string(code) + " (" + (n > 0 ? text : "no text") + ")";
}

Handle open(const std::wstring &path)
{
    // No sharing: a port another program holds fails with ERROR_ACCESS_DENIED.
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        const std::string error = systemErrorText(code);
        report("Serial open of " + portName(path) + " failed at CreateFileW: " + error);
        setOpenError(describeOpenFailure(kindOf(code), "", error));
        ::SetLastError(code);
        return InvalidHandle;
    }
    setUpLineState(h);
    setOpenError("");
    return reinterpret_cast<Handle>(h);
}

namespace {

// The line's deadlines with a total read deadline of `readMs`.
bool applyTimeouts(Handle h, std::uint32_t readMs)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = readMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    // A write that cannot complete (CTS held low, a stalled adapter) gives up
    // instead of holding the tool and the port for ever.
    timeouts.WriteTotalTimeoutConstant = WriteTimeoutMs;
    if (::SetCommTimeouts(toHandle(h), &timeouts))
        return true;
    // Called after a failed open too: that failure's cause stands.
    if (h == InvalidHandle)
        return false;
    const DWORD code = ::GetLastError();
    const std::string error = systemErrorText(code);
    report("Serial time-outs cannot be set: " + error);
    setOpenError(describeOpenFailure(OpenFailure::NoTimeouts, "", error));
    ::SetLastError(code);
    return false;
}

} // namespace

bool setTimeouts(Handle h)
{
    return applyTimeouts(h, ReadTimeoutMs);
}

bool purge(Handle h)
{
    return ::PurgeComm(toHandle(h), PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

bool write(Handle h, const void *data, std::uint32_t size, std::uint32_t *written)
{
    DWORD count = 0;
    const BOOL ok = ::WriteFile(toHandle(h), data, size, &count, nullptr);
    *written = count;
    if (ok && count == size)
        return true;
    // A time-out leaves WriteFile successful with bytes unsent.
    reportShort("write", ok, ::GetLastError(), count, size, WriteTimeoutMs);
    return false;
}

bool read(Handle h, void *buffer, std::uint32_t size, std::uint32_t *got, std::uint32_t timeoutMs)
{
    // The driver holds one read deadline for the port: a shorter one is set
    // for this read alone (rare: a reader near its own deadline).
    const bool shorter = timeoutMs != ReadTimeoutMs;
    if (shorter)
        applyTimeouts(h, timeoutMs);
    DWORD count = 0;
    const BOOL ok = ::ReadFile(toHandle(h), buffer, size, &count, nullptr);
    const DWORD code = ::GetLastError();
    if (shorter)
        applyTimeouts(h, ReadTimeoutMs);
    *got = count;
    if (ok && count == size)
        return true;
    reportShort("read", ok, code, count, size, timeoutMs);
    return ok != FALSE;
}

bool close(Handle h)
{
    return ::CloseHandle(toHandle(h)) != FALSE;
}

} // namespace SerialLine
