#pragma once
// A second program of another user opening a serial device, as a terminal
// program or a modem manager probing a new device would.

#include <QString>

namespace testsupport {

// Opens `device` for reading and writing as an ordinary user who may use it
// (in the device's group, which gets read and write access, as the dialout
// group has on serial adapters) and closes it again. Root passes TIOCEXCL,
// so a test run by root forks and drops to uid and gid 65534 for the open.
// Returns 0 when the open succeeded, else its errno; -1 with *why when no
// unprivileged user can be had here. Blocks until the open has returned.
int openAsOtherUser(const QString &device, QString *why);

} // namespace testsupport
