// Layer 2 of the port enumeration (enumserialcom.h): layer 1's port numbers
// made into sorted port records.

#include "enumserialcom.h"
#include "serialdevicescan.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace QuorvexCOMLib {

std::vector<EnumSerialCOM::DATA>
EnumSerialCOM::FromPortNumbers(const std::vector<std::uint32_t> &ports)
{
    std::vector<DATA> result;
    result.reserve(ports.size());
    for (std::uint32_t port : ports) {
        DATA record;
        record.port = port;
        result.push_back(record);
    }
    std::sort(result.begin(), result.end(),
              [](const DATA &a, const DATA &b) { return a.port < b.port; });
    return result;
}

std::vector<EnumSerialCOM::DATA> EnumSerialCOM::Enumerate()
{
    std::vector<std::uint32_t> ports;
    if (!SerialDeviceScan::UsingDosDeviceNames(ports)) {
        const unsigned long error = SerialDeviceScan::lastError();
        // Formatted wide, written narrow: a wide-oriented stdout would make
        // every later narrow write to it (test logs among them) fail.
        wchar_t line[96];
        const int n = std::swprintf(line, sizeof line / sizeof line[0],
                                    L"SerialDeviceScan::UsingDosDeviceNames failed, Error:%u\n",
                                    static_cast<unsigned>(error));
        for (int i = 0; i < n; ++i)
            std::fputc(static_cast<char>(line[i]), stdout);
        std::fflush(stdout);
        return {};
    }
    return FromPortNumbers(ports);
}

} // namespace QuorvexCOMLib
