// The COM name filter (comname.h), for narrow and wide names alike.

#include "comname.h"

#include <limits>

namespace {

template <typename Char>
bool parse(const Char *name, std::size_t length, std::uint32_t *port)
{
    // A bare "COM" never counts.
    if (length < 4)
        return false;
    for (std::size_t i = 0; i < 3; ++i) {
        Char c = name[i];
        if (c >= Char('a') && c <= Char('z'))
            c = static_cast<Char>(c - Char('a') + Char('A'));
        if (c != Char("COM"[i]))
            return false;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 3; i < length; ++i) {
        const Char c = name[i];
        if (c < Char('0') || c > Char('9'))
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - Char('0'));
        if (value > std::numeric_limits<std::uint32_t>::max())
            return false;
    }
    *port = static_cast<std::uint32_t>(value);
    return true;
}

} // namespace

bool parseComDeviceName(const wchar_t *name, std::size_t length, std::uint32_t *port)
{
    return parse(name, length, port);
}

bool parseComDeviceName(const char *name, std::size_t length, std::uint32_t *port)
{
    return parse(name, length, port);
}
