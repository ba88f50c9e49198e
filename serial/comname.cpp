#include "comname.h"

#include <limits>

bool parseComDeviceName(const wchar_t *name, std::size_t length, std::uint32_t *port)
{
    // A bare "COM" never counts.
    if (length < 4)
        return false;
    for (std::size_t i = 0; i < 3; ++i) {
        wchar_t c = name[i];
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
        if (c != L"COM"[i])
            return false;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 3; i < length; ++i) {
        const wchar_t c = name[i];
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
        if (value > std::numeric_limits<std::uint32_t>::max())
            return false;
    }
    *port = static_cast<std::uint32_t>(value);
    return true;
}
