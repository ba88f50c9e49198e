#pragma once
// The line state (DCB) of an open Windows COM port. Windows keeps a port's
// DCB from whichever program used it last until the adapter is re-plugged,
// so the serial line sets the parts the byte stream depends on itself.

#include <windows.h>

#include <string>

namespace SerialLine {

// Makes `dcb` byte-transparent and never blocking: binary, 8 data bits, no
// XON/XOFF either way, no error character, no NUL stripping, no
// abort-on-error, no DSR sensitivity, no CTS/DSR output flow control, DTR and
// RTS on. Baud rate, parity and stop bits stay as they are: the adapter may
// need them.
void makeByteTransparent(DCB *dcb);

// One line of text for support, e.g. "115200 baud 8N1, binary, XON/XOFF out,
// DTR on, RTS on": speed, framing and whatever else is on.
std::string describeLineState(const DCB &dcb);

// Reads the line state, makes it byte-transparent, sets it and clears any
// error state left behind; reports the state found and the state set, once
// each. False when the state cannot be read or set (reported, and the
// system's error code left for GetLastError). Does not block.
bool setUpLineState(HANDLE h);

} // namespace SerialLine
