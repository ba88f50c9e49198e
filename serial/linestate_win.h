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

// Puts right what SetCommState is documented to refuse, as drivers report
// it all the same (several USB CDC drivers give XonChar and XoffChar both
// as 0, some virtual COM drivers nonsense codings): equal XON and XOFF
// characters become 0x11 and 0x13, 1.5 stop bits with 8 data bits (or a
// stop-bit code out of range) one stop bit, a parity code out of range no
// parity. Everything else stays, the baud rate included.
void makeSettable(DCB *dcb);

// One line of text for support, e.g. "115200 baud 8N1, binary, XON/XOFF out,
// DTR on, RTS on": speed, framing and whatever else is on.
std::string describeLineState(const DCB &dcb);

// Reads the line state, makes it byte-transparent and settable, sets it and
// clears any error state left behind; reports the state found and the state
// set, once each. A driver that refuses to give or take the state keeps its
// own (reported with the system's error): some USB CDC and virtual COM
// drivers refuse SetCommState whatever is passed, and work as they are.
// Does not block.
void setUpLineState(HANDLE h);

} // namespace SerialLine
