#pragma once
// The DOS device name filter shared by every platform's port scan and by the
// simulated node's registration: "COM" in any case followed by ASCII digits
// only (at least one).

#include <cstddef>
#include <cstdint>

// True when name[0..length) is a COM port name; *port receives its number
// (COM007 gives 7) and is left alone otherwise. Digit runs whose value does
// not fit in 32 bits are refused rather than wrapped round. The wide form
// takes the names Windows lists, the narrow one file names on Linux.
bool parseComDeviceName(const wchar_t *name, std::size_t length, std::uint32_t *port);
bool parseComDeviceName(const char *name, std::size_t length, std::uint32_t *port);
