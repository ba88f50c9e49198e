// Windows layer 1 of the port enumeration: the DOS device name list from
// QueryDosDeviceW, its COM names turned into port numbers in list order.

#include "serialdevicescan.h"
#include "serialdevicescan_win_internal.h"
#include "comname.h"

#include <limits>
#include <new>

#include <windows.h>

namespace WinPorts {

namespace {

// Appends the numbers of the COM names in a list of NUL-terminated names
// ended by an empty one; `count` characters of it were filled in.
void collectPorts(const wchar_t *list, std::size_t count, std::vector<std::uint32_t> &ports)
{
    const wchar_t *entry = list;
    const wchar_t *const end = list + count;
    while (entry < end && *entry != L'\0') {
        std::size_t length = 0;
        while (entry + length < end && entry[length] != L'\0')
            ++length;
        std::uint32_t port = 0;
        if (parseComDeviceName(entry, length, &port))
            ports.push_back(port);
        entry += length + 1;
    }
}

} // namespace

bool usingDosDeviceNames(std::vector<std::uint32_t> &ports, std::size_t firstCapacity)
{
    ports.clear();
    std::size_t capacity = firstCapacity;
    for (;;) {
        // No buffer to be had: none asked for, a byte count that overflows,
        // or more characters than the query can be told (a DWORD).
        if (capacity == 0 || capacity > std::numeric_limits<std::size_t>::max() / sizeof(wchar_t)
            || capacity > std::numeric_limits<DWORD>::max()) {
            ::SetLastError(ERROR_OUTOFMEMORY);
            return false;
        }
        wchar_t *buffer = new (std::nothrow) wchar_t[capacity];
        if (!buffer) {
            ::SetLastError(ERROR_OUTOFMEMORY);
            return false;
        }
        const DWORD n = ::QueryDosDeviceW(nullptr, buffer, static_cast<DWORD>(capacity));
        if (n == 0) {
            const DWORD error = ::GetLastError();
            delete[] buffer;
            if (error == ERROR_INSUFFICIENT_BUFFER) {
                // Doubling past the size type's range is caught at the top.
                capacity = capacity > std::numeric_limits<std::size_t>::max() / 2
                               ? std::numeric_limits<std::size_t>::max()
                               : capacity * 2;
                continue;
            }
            ::SetLastError(error);
            return false;
        }
        collectPorts(buffer, n, ports);
        delete[] buffer;
        return true;
    }
}

} // namespace WinPorts

bool SerialDeviceScan::UsingDosDeviceNames(std::vector<std::uint32_t> &ports)
{
    return WinPorts::usingDosDeviceNames(ports, WinPorts::FirstNameBufferCapacity);
}

unsigned long SerialDeviceScan::lastError()
{
    return ::GetLastError();
}
