#pragma once
// Why an open of a serial line failed, worded for the user alike on every
// platform. The platform files sort the system's errors into these kinds;
// the window shows the text under its open-failure box, so that a
// re-plugged adapter, a missing group membership or a terminal program
// holding the port is not taken for one another. No Qt.

#include <string>

namespace SerialLine {

enum class OpenFailure {
    Missing,    // no such port or device
    InUse,      // another program holds it
    NotAllowed, // this user may not open the device
    Gone,       // the device went away or does not answer
    NotSerial,  // it opens, but is no serial line
    NoTimeouts, // the driver refuses the read and write deadlines
    Refused,    // anything else the system said no to
};

// The user's line: what happened, the holding program in parentheses when
// `holder` is not empty, ": " and `detail` (the system's error as
// systemErrorText gives it, or how the holder was found), then the advice
// for the kind, if any. E.g. "Another program has the port open (minicom):
// lock file /run/lock/LCK..ttyUSB0."
std::string describeOpenFailure(OpenFailure kind, const std::string &holder,
                                const std::string &detail);

// Keeps `cause` for lastOpenError() (serialline.h); empty clears it.
void setOpenError(const std::string &cause);

} // namespace SerialLine
