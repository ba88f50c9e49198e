// The line state (DCB) of an open Windows COM port (linestate_win.h), and
// the line telling support what an open found and changed.

#include "linestate_win.h"

#include "serialline.h"

#include <string>
#include <utility>

namespace SerialLine {

void makeByteTransparent(DCB *dcb)
{
    dcb->fBinary = TRUE;
    dcb->ByteSize = 8;
    // XON/XOFF would swallow the data bytes 0x11 and 0x13.
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    // Otherwise one framing error stops every later read and write.
    dcb->fAbortOnError = FALSE;
    dcb->fDsrSensitivity = FALSE;
    // An adapter that does not drive CTS or DSR would stall every write.
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    // Some adapters power their line drivers from DTR and RTS.
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
}

void makeSettable(DCB *dcb)
{
    if (dcb->XonChar == dcb->XoffChar) {
        dcb->XonChar = 0x11;
        dcb->XoffChar = 0x13;
    }
    // 1.5 stop bits go with 5 data bits only.
    if (dcb->StopBits > TWOSTOPBITS || (dcb->StopBits == ONE5STOPBITS && dcb->ByteSize == 8))
        dcb->StopBits = ONESTOPBIT;
    if (dcb->Parity > SPACEPARITY)
        dcb->Parity = NOPARITY;
}

namespace {

std::string framing(const DCB &dcb)
{
    static const char parities[] = "NOEMS";
    static const char *const stopBits[] = {"1", "1.5", "2"};
    std::string text = std::to_string(dcb.BaudRate) + " baud " + std::to_string(dcb.ByteSize);
    text += dcb.Parity < 5 ? parities[dcb.Parity] : '?';
    text += dcb.StopBits < 3 ? stopBits[dcb.StopBits] : "?";
    return text;
}

const char *dtr(const DCB &dcb)
{
    switch (dcb.fDtrControl) {
    case DTR_CONTROL_DISABLE:
        return "DTR off";
    case DTR_CONTROL_ENABLE:
        return "DTR on";
    default:
        return "DTR handshake";
    }
}

const char *rts(const DCB &dcb)
{
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_DISABLE:
        return "RTS off";
    case RTS_CONTROL_ENABLE:
        return "RTS on";
    case RTS_CONTROL_HANDSHAKE:
        return "RTS handshake";
    default:
        return "RTS toggle";
    }
}

} // namespace

std::string describeLineState(const DCB &dcb)
{
    const std::pair<bool, const char *> flags[] = {
        {dcb.fBinary != 0, "binary"},
        {dcb.fParity != 0, "parity check"},
        {dcb.fOutX != 0, "XON/XOFF out"},
        {dcb.fInX != 0, "XON/XOFF in"},
        {dcb.fErrorChar != 0, "error char"},
        {dcb.fNull != 0, "NUL discard"},
        {dcb.fAbortOnError != 0, "abort on error"},
        {dcb.fDsrSensitivity != 0, "DSR sensitive"},
        {dcb.fOutxCtsFlow != 0, "CTS flow"},
        {dcb.fOutxDsrFlow != 0, "DSR flow"},
    };
    std::string text = framing(dcb);
    for (const auto &flag : flags)
        if (flag.first)
            text += std::string(", ") + flag.second;
    return text + ", " + dtr(dcb) + ", " + rts(dcb);
}

namespace {

// Reports why the line keeps the driver's state.
void reportKept(const char *what)
{
    report(std::string("Serial line state cannot be ") + what + ": "
           + systemErrorText(::GetLastError()));
}

// Reads the line state and sets it byte-transparent (in *dcb); false,
// reported, when the driver refuses to give or take it.
bool setByteTransparent(HANDLE h, DCB *dcb)
{
    if (!::GetCommState(h, dcb)) {
        reportKept("read");
        return false;
    }
    report("Serial line state at open: " + describeLineState(*dcb));
    makeByteTransparent(dcb);
    makeSettable(dcb);
    if (!::SetCommState(h, dcb)) {
        reportKept("set");
        return false;
    }
    return true;
}

} // namespace

void setUpLineState(HANDLE h)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const bool set = setByteTransparent(h, &dcb);
    // Errors a former user left pending: under abort-on-error they fail every
    // transfer until cleared.
    DWORD errors = 0;
    ::ClearCommError(h, &errors, nullptr);
    if (!set)
        return;
    std::string line = "Serial line state set: " + describeLineState(dcb);
    if (errors != 0)
        line += ", pending errors cleared (CE_ flags " + std::to_string(errors) + ")";
    report(line);
}

} // namespace SerialLine
