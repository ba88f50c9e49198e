#pragma once
// Layer 1 of the port enumeration: the port numbers found in the platform's
// list of DOS device names, in the platform's order.

#include <cstdint>
#include <vector>

class SerialDeviceScan
{
public:
    // Empties `ports`, then fills it. False on failure, with the platform's
    // last-error code (GetLastError / errno) set to the cause.
    static bool UsingDosDeviceNames(std::vector<std::uint32_t> &ports);

    // The platform's last-error code (GetLastError on Windows, errno elsewhere).
    static unsigned long lastError();
};
