// The terminal settings of an open port on Linux (linestate_posix.h), and
// the line telling support what an open found and changed.

#include "linestate_posix.h"

#include <iterator>

namespace PosixLine {

namespace {

enum Field { In, Out, Control, Local };

struct Flag
{
    const char *name;
    Field field;
    tcflag_t bit;
};

// The flags raw mode is about, in stty's order and names.
const Flag kFlags[] = {
    {"parenb", Control, PARENB}, {"parodd", Control, PARODD}, {"cstopb", Control, CSTOPB},
    {"cread", Control, CREAD},   {"clocal", Control, CLOCAL}, {"crtscts", Control, CRTSCTS},
    {"ignbrk", In, IGNBRK},      {"brkint", In, BRKINT},      {"ignpar", In, IGNPAR},
    {"parmrk", In, PARMRK},      {"inpck", In, INPCK},        {"istrip", In, ISTRIP},
    {"inlcr", In, INLCR},        {"igncr", In, IGNCR},        {"icrnl", In, ICRNL},
    {"ixon", In, IXON},          {"ixoff", In, IXOFF},        {"ixany", In, IXANY},
    {"opost", Out, OPOST},       {"isig", Local, ISIG},       {"icanon", Local, ICANON},
    {"iexten", Local, IEXTEN},   {"echo", Local, ECHO},       {"echonl", Local, ECHONL},
};

tcflag_t fieldOf(const termios &t, Field f)
{
    switch (f) {
    case In:
        return t.c_iflag;
    case Out:
        return t.c_oflag;
    case Control:
        return t.c_cflag;
    case Local:
        return t.c_lflag;
    }
    return 0;
}

std::string sizeName(const termios &t)
{
    switch (t.c_cflag & CSIZE) {
    case CS5:
        return "cs5";
    case CS6:
        return "cs6";
    case CS7:
        return "cs7";
    default:
        return "cs8";
    }
}

// " x" / " -x" for each flag (and the data bits) where `to` differs from
// `from`, set as in `to`.
std::string differences(const termios &from, const termios &to)
{
    std::string out;
    if ((from.c_cflag & CSIZE) != (to.c_cflag & CSIZE))
        out += " " + sizeName(to);
    for (const Flag &f : kFlags) {
        const bool was = fieldOf(from, f.field) & f.bit;
        const bool is = fieldOf(to, f.field) & f.bit;
        if (was != is)
            out += std::string(is ? " " : " -") + f.name;
    }
    return out;
}

std::string speedText(speed_t speed)
{
    static const struct
    {
        speed_t code;
        long baud;
    } kSpeeds[] = {{B0, 0},
                   {B300, 300},
                   {B1200, 1200},
                   {B2400, 2400},
                   {B4800, 4800},
                   {B9600, 9600},
                   {B19200, 19200},
                   {B38400, 38400},
                   {B57600, 57600},
                   {B115200, 115200},
                   {B230400, 230400},
                   {B460800, 460800},
                   {B500000, 500000},
                   {B921600, 921600},
                   {B1000000, 1000000},
                   {B2000000, 2000000},
                   {B3000000, 3000000},
                   {B4000000, 4000000}};
    for (const auto &s : kSpeeds) {
        if (s.code == speed)
            return std::to_string(s.baud) + " baud";
    }
    return "speed code " + std::to_string(speed);
}

} // namespace

termios rawSettings(const termios &found)
{
    termios t = found;
    cfmakeraw(&t);
    cfsetispeed(&t, cfgetispeed(&found));
    cfsetospeed(&t, cfgetospeed(&found));
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    t.c_cflag &= ~tcflag_t(CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return t;
}

std::string describeOpen(const termios &found, const termios &wanted, const termios &now)
{
    const std::string changed = differences(found, now);
    std::string line = "Serial line state at open: " + speedText(cfgetospeed(&now))
                       + "; changed:" + (changed.empty() ? std::string(" nothing") : changed);
    const std::string refused = differences(now, wanted);
    if (!refused.empty())
        line += "; not taken:" + refused;
    return line;
}

} // namespace PosixLine
