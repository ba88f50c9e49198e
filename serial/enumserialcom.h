#pragma once
// Layer 2 of the port enumeration: port records in ascending port order.
// Free of Qt; the meta-type declaration lives in comportdata.h.

#include <cstdint>
#include <string>
#include <vector>

namespace QuorvexCOMLib {

class EnumSerialCOM
{
public:
    struct DATA
    {
        std::uint32_t port = 0;
        std::wstring name;
    };

    // Never fails outward: a failed scan writes one line to standard output
    // and gives an empty list.
    static std::vector<DATA> Enumerate();

    // The numbering step on its own: records for `ports`, sorted.
    static std::vector<DATA> FromPortNumbers(const std::vector<std::uint32_t> &ports);
};

} // namespace QuorvexCOMLib
