#pragma once
// The terminal settings the serial line runs with on Linux, and the line
// that tells support what an open found and changed. No Qt.

#include <string>

#include <termios.h>

namespace PosixLine {

// `found` made byte-transparent and never blocking: raw (cfmakeraw: 8 data
// bits, no parity, no translation, no echo, no signals), no flow control of
// any kind (CRTSCTS, IXON, IXOFF, IXANY off: cfmakeraw leaves IXOFF and
// IXANY, and several USB serial drivers have the chip itself do XON/XOFF
// when IXON or IXOFF is set), modem lines
// ignored (CLOCAL | CREAD), reads returning at once (VMIN 0, VTIME 0). The
// speed and the stop bits stay as found.
termios rawSettings(const termios &found);

// "Serial line state at open: 115200 baud; changed: -crtscts -ixoff clocal"
// with stty's names ("-x": found on, turned off; "x": found off, turned on),
// "changed: nothing" when it was raw already, and "; not taken: ..." for
// what `wanted` asked but the driver kept (`now` is what it holds).
std::string describeOpen(const termios &found, const termios &wanted, const termios &now);

} // namespace PosixLine
