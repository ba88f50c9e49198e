// The user's words for a failed open (openfailure.h) and the last one kept
// for the window (serialline.h).

#include "openfailure.h"

#include "serialline.h"

namespace SerialLine {

namespace {

thread_local std::string t_lastOpenError;

const char *what(OpenFailure kind)
{
    switch (kind) {
    case OpenFailure::Missing:
        return "The port does not exist";
    case OpenFailure::InUse:
        return "Another program has the port open";
    case OpenFailure::NotAllowed:
        return "You may not open the port's device";
    case OpenFailure::Gone:
        return "The adapter is gone or does not answer";
    case OpenFailure::NotSerial:
        return "The port is not a serial line";
    case OpenFailure::NoTimeouts:
        return "The port's driver refuses read and write time-outs";
    case OpenFailure::Refused:
        break;
    }
    return "The system refused the port";
}

const char *advice(OpenFailure kind)
{
    switch (kind) {
    case OpenFailure::Missing:
        // Windows numbers an adapter per USB socket; Linux by plug order.
        return " An adapter plugged in again may have got another COM number.";
    case OpenFailure::NotAllowed:
        return " Add your user to the \"dialout\" group, then log in again.";
    case OpenFailure::Gone:
        return " Plug the adapter in again.";
    default:
        return "";
    }
}

} // namespace

std::string describeOpenFailure(OpenFailure kind, const std::string &holder,
                                const std::string &detail)
{
    std::string text = what(kind);
    if (!holder.empty())
        text += " (" + holder + ")";
    return text + ": " + detail + "." + advice(kind);
}

void setOpenError(const std::string &cause)
{
    t_lastOpenError = cause;
}

std::string lastOpenError()
{
    return t_lastOpenError;
}

} // namespace SerialLine
