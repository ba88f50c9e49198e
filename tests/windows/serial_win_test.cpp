// Console test of the Windows serial layer (port scan and serial line), run
// under Wine by scripts/test-windows.sh against COM ports backed by
// pseudo-terminals. The far end of the data port is tests/windows/peer.py,
// steered through a second port (the control port); the SDO case talks to the
// simulated node.
//
// The ports under test start in the states users leave them in (a fresh
// terminal device, or as a terminal program left it), never raw: making the
// line byte-transparent is the serial layer's job.
//
// Arguments: --data N --control N --busy N --unmapped N --notserial N [--sim N]
//   data       a port whose far end is the peer
//   control    the port on which the peer takes its commands
//   busy       a port that cannot be opened (as when another program holds it)
//   unmapped   a COM number that no device answers to
//   notserial  a port that opens but has no line state (not a serial device)
//   sim        the simulated node's port (missing: the SDO case fails)
// Prints one line per case and ends with "N passed, N failed".

#include "serial/comname.h"
#include "serial/enumserialcom.h"
#include "serial/linestate_win.h"
#include "serial/serialdevicescan.h"
#include "serial/serialdevicescan_win_internal.h"
#include "serial/serialline.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct Ports
{
    std::uint32_t data = 0;
    std::uint32_t control = 0;
    std::uint32_t busy = 0;
    std::uint32_t unmapped = 0;
    std::uint32_t notSerial = 0;
    std::uint32_t sim = 0;
};

Ports g_ports;
SerialLine::Handle g_control = SerialLine::InvalidHandle;

// What the serial layer reported during the current case.
std::vector<std::string> g_reports;

void collectReport(const std::string &line)
{
    g_reports.push_back(line);
}

// The reports of this case that begin with `prefix`.
std::vector<std::string> reportsStartingWith(const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : g_reports)
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}

std::string allReports()
{
    std::string text;
    for (const std::string &line : g_reports)
        text += (text.empty() ? "" : " | ") + line;
    return text.empty() ? "none" : text;
}

// One test case: collects what went wrong.
class Case
{
public:
    bool check(bool condition, const std::string &what)
    {
        if (!condition)
            m_failures.push_back(what);
        return condition;
    }
    const std::vector<std::string> &failures() const { return m_failures; }

private:
    std::vector<std::string> m_failures;
};

std::string hex(const Bytes &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

std::string str(unsigned long long value)
{
    return std::to_string(value);
}

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Every byte value, after the ones a terminal or a text-mode file would
// most like to swallow or translate.
Bytes binaryPattern()
{
    Bytes bytes = {0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF};
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<std::uint8_t>(i));
    return bytes;
}

bool writeAll(SerialLine::Handle h, const Bytes &bytes)
{
    std::uint32_t written = 0;
    return SerialLine::write(h, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written)
           && written == bytes.size();
}

// Reads `count` bytes (one read call, as the update does).
Bytes readCount(SerialLine::Handle h, std::uint32_t count)
{
    Bytes bytes(count);
    std::uint32_t got = 0;
    if (!SerialLine::read(h, bytes.data(), count, &got))
        got = 0;
    bytes.resize(got);
    return bytes;
}

// Sends one command to the peer and waits for its "ok".
bool command(const std::string &line)
{
    const std::string text = line + "\n";
    if (!writeAll(g_control, Bytes(text.begin(), text.end())))
        return false;
    const Bytes reply = readCount(g_control, 3);
    return reply == Bytes{'o', 'k', '\n'};
}

// The data bytes the peer received since it was last asked.
bool peerReceived(Bytes *bytes)
{
    const std::string text = "got\n";
    if (!writeAll(g_control, Bytes(text.begin(), text.end())))
        return false;
    const Bytes head = readCount(g_control, 4);
    if (head.size() != 4)
        return false;
    const unsigned long count =
        std::strtoul(std::string(head.begin(), head.end()).c_str(), nullptr, 16);
    const Bytes body = readCount(g_control, static_cast<std::uint32_t>(count * 2));
    if (body.size() != count * 2)
        return false;
    bytes->clear();
    for (std::size_t i = 0; i < body.size(); i += 2) {
        const std::string pair(body.begin() + static_cast<long>(i),
                               body.begin() + static_cast<long>(i) + 2);
        bytes->push_back(static_cast<std::uint8_t>(std::strtoul(pair.c_str(), nullptr, 16)));
    }
    return true;
}

// Opens the data port as an update does, with the peer quiet and its record
// of received bytes cleared; beforehand the line is left in `state` (see
// ptyhold.py) as another program would leave it.
SerialLine::Handle openDataPort(Case &c, const std::string &state = "fresh")
{
    Bytes ignored;
    if (!c.check(g_control != SerialLine::InvalidHandle, "control port not open")
        || !c.check(command("echo 0") && peerReceived(&ignored), "peer does not answer")
        || !c.check(command("state " + state), "peer refused state " + state))
        return SerialLine::InvalidHandle;
    const SerialLine::Handle h = SerialLine::open(SerialLine::devicePath(g_ports.data));
    if (!c.check(h != SerialLine::InvalidHandle,
                 "open COM" + str(g_ports.data) + " failed, error " + str(GetLastError())))
        return h;
    c.check(SerialLine::setTimeouts(h), "setTimeouts failed, error " + str(GetLastError()));
    c.check(SerialLine::purge(h), "purge failed, error " + str(GetLastError()));
    return h;
}

bool contains(const std::vector<std::uint32_t> &ports, std::uint32_t port)
{
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

// The raw DOS device list, one name per entry.
std::vector<std::wstring> queryDosDevices()
{
    std::vector<wchar_t> buffer(1 << 20);
    std::vector<std::wstring> names;
    if (QueryDosDeviceW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())) == 0)
        return names;
    for (const wchar_t *p = buffer.data(); *p; p += std::wcslen(p) + 1)
        names.emplace_back(p);
    return names;
}

// ---- cases ----

void enumerationListsRegisteredPorts(Case &c)
{
    const std::vector<std::wstring> names = queryDosDevices();
    c.check(!names.empty(), "QueryDosDeviceW gave no list, error " + str(GetLastError()));
    auto listed = [&](std::uint32_t port) {
        const std::wstring name = L"COM" + std::to_wstring(port);
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (std::uint32_t port : {g_ports.data, g_ports.control, g_ports.busy})
        c.check(listed(port), "COM" + str(port) + " missing from the DOS device list");
    c.check(!listed(g_ports.unmapped), "unmapped COM" + str(g_ports.unmapped) + " listed");

    std::vector<std::uint32_t> ports = {12345};
    c.check(SerialDeviceScan::UsingDosDeviceNames(ports),
            "scan failed, error " + str(SerialDeviceScan::lastError()));
    for (std::uint32_t port : {g_ports.data, g_ports.control, g_ports.busy})
        c.check(contains(ports, port), "scan lacks " + str(port));
    c.check(!contains(ports, g_ports.unmapped), "scan lists the unmapped port");
    c.check(!contains(ports, 12345), "scan did not empty the list first");
    // Every COM name of the list, and nothing else, comes out as a number.
    std::size_t comNames = 0;
    for (const std::wstring &name : names) {
        std::uint32_t port = 0;
        if (parseComDeviceName(name.c_str(), name.size(), &port))
            ++comNames;
    }
    c.check(ports.size() == comNames,
            "scan gave " + str(ports.size()) + " numbers for " + str(comNames) + " COM names");

    const auto records = QuorvexCOMLib::EnumSerialCOM::Enumerate();
    c.check(records.size() == ports.size(), "Enumerate gave " + str(records.size())
                                                + " records for " + str(ports.size()) + " ports");
    c.check(std::is_sorted(records.begin(), records.end(),
                           [](const auto &a, const auto &b) { return a.port < b.port; }),
            "Enumerate's records are not in ascending order");
    std::vector<std::uint32_t> numbers;
    for (const auto &record : records) {
        numbers.push_back(record.port);
        c.check(record.name.empty(), "record " + str(record.port) + " has a name");
    }
    std::vector<std::uint32_t> sortedScan = ports;
    std::sort(sortedScan.begin(), sortedScan.end());
    c.check(numbers == sortedScan, "Enumerate's numbers differ from the scan's");
    // Numeric, not textual: e.g. COM3 before COM12.
    const auto at = [&](std::uint32_t port) {
        return std::find(numbers.begin(), numbers.end(), port) - numbers.begin();
    };
    const std::uint32_t low = std::min(g_ports.control, g_ports.data);
    const std::uint32_t high = std::max(g_ports.control, g_ports.data);
    c.check(at(low) < at(high), "COM" + str(low) + " does not come before COM" + str(high));
}

void smallBufferGrows(Case &c)
{
    wchar_t small[16];
    const DWORD n = QueryDosDeviceW(nullptr, small, 16);
    const DWORD error = GetLastError();
    c.check(n == 0 && error == ERROR_INSUFFICIENT_BUFFER,
            "a 16-character query did not fail with 122 (result " + str(n) + ", error " + str(error)
                + ")");

    std::vector<std::uint32_t> usual;
    c.check(WinPorts::usingDosDeviceNames(usual, WinPorts::FirstNameBufferCapacity),
            "4096: scan failed");
    for (std::size_t first : {std::size_t{1}, std::size_t{16}, std::size_t{100}}) {
        std::vector<std::uint32_t> grown = {7777};
        const bool ok = WinPorts::usingDosDeviceNames(grown, first);
        c.check(ok, str(first) + ": scan failed, error " + str(GetLastError()));
        c.check(grown == usual, str(first) + ": result differs from the 4096 one");
    }
    c.check(contains(usual, g_ports.data), "the data port is not in the list");
}

void unobtainableBuffer(Case &c)
{
    // A byte count that overflows, and one no allocator can give.
    for (std::size_t first :
         {std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max() / 2 + 1,
          std::size_t{1} << 42}) {
        std::vector<std::uint32_t> ports = {3, 4};
        SetLastError(0);
        const bool ok = WinPorts::usingDosDeviceNames(ports, first);
        const unsigned long error = SerialDeviceScan::lastError();
        c.check(!ok, str(first) + ": scan succeeded");
        c.check(error == ERROR_OUTOFMEMORY, str(first) + ": error " + str(error) + ", not 14");
        c.check(ports.empty(), str(first) + ": list not emptied");
    }
}

void unmappedPortFailsToOpen(Case &c)
{
    SetLastError(0);
    const SerialLine::Handle h = SerialLine::open(SerialLine::devicePath(g_ports.unmapped));
    const DWORD error = GetLastError();
    c.check(h == SerialLine::InvalidHandle, "COM" + str(g_ports.unmapped) + " opened");
    c.check(error == ERROR_FILE_NOT_FOUND, "error " + str(error) + ", not 2");
    c.check(SerialLine::lastOpenError().rfind("The port does not exist: error 2 (", 0) == 0
                && reportsStartingWith("Serial open of COM" + str(g_ports.unmapped)
                                       + " failed at CreateFileW: error 2 (")
                           .size()
                       == 1,
            "cause " + SerialLine::lastOpenError() + "; reports: " + allReports());
    if (h != SerialLine::InvalidHandle)
        SerialLine::close(h);
}

void portThatCannotBeOpened(Case &c)
{
    SetLastError(0);
    const SerialLine::Handle h = SerialLine::open(SerialLine::devicePath(g_ports.busy));
    const DWORD error = GetLastError();
    c.check(h == SerialLine::InvalidHandle, "COM" + str(g_ports.busy) + " opened");
    // What Windows gives for a port another program holds.
    c.check(error == ERROR_ACCESS_DENIED, "error " + str(error) + ", not 5");
    c.check(SerialLine::lastOpenError().rfind("Another program has the port open: error 5 (", 0)
                == 0,
            "cause " + SerialLine::lastOpenError());
    if (h != SerialLine::InvalidHandle)
        SerialLine::close(h);
}

void silentLineTimesOut(Case &c)
{
    const SerialLine::Handle h = openDataPort(c);
    if (h == SerialLine::InvalidHandle)
        return;
    Bytes buffer(11);
    std::uint32_t got = 99;
    const auto start = Clock::now();
    const bool ok = SerialLine::read(h, buffer.data(), 11, &got);
    const long long ms = msSince(start);
    c.check(ok, "read reported failure, error " + str(GetLastError()));
    c.check(got == 0, str(got) + " bytes from a silent line");
    c.check(ms >= 3900 && ms <= 6000, "returned after " + std::to_string(ms) + " ms");
    c.check(reportsStartingWith("Serial read: 0 of 11 bytes within 4000 ms").size() == 1,
            "the short read was not reported once; reports: " + allReports());
    c.check(SerialLine::close(h), "close failed");
}

void stoppedOutputWriteGivesUp(Case &c)
{
    const SerialLine::Handle h = openDataPort(c);
    if (h == SerialLine::InvalidHandle)
        return;
    c.check(command("stop 1"), "peer refused stop");
    const Bytes request{0x40, 0x01, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::uint32_t written = 99;
    const auto start = Clock::now();
    const bool ok =
        SerialLine::write(h, request.data(), static_cast<std::uint32_t>(request.size()), &written);
    const long long ms = msSince(start);
    c.check(command("stop 0"), "peer refused to go on");
    c.check(written < request.size(),
            "all " + str(written) + " bytes reported written to a stopped line");
    c.check(!ok, "a write that left " + str(request.size() - written)
                     + " of 11 bytes unsent reported success");
    c.check(ms >= 3900 && ms <= 6000, "write returned after " + std::to_string(ms) + " ms");
    const std::string expected = "Serial write: " + str(written) + " of 11 bytes within 4000 ms";
    c.check(reportsStartingWith(expected).size() == 1,
            "not reported once as \"" + expected + "\"; reports: " + allReports());
    // The line works again once output flows.
    Bytes ignored;
    c.check(SerialLine::purge(h) && peerReceived(&ignored), "purge failed");
    c.check(writeAll(h, request), "write after the stop failed");
    Bytes got;
    Sleep(200);
    c.check(peerReceived(&got) && got == request, "peer then received " + hex(got));
    c.check(SerialLine::close(h), "close failed");
}

void replyInTwoPiecesReadWhole(Case &c)
{
    const SerialLine::Handle h = openDataPort(c);
    if (h == SerialLine::InvalidHandle)
        return;
    const auto start = Clock::now();
    // 5 bytes, then the other 6 a second later.
    c.check(command("split 8105084301 1000 5100746f6f62"), "peer refused split");
    const Bytes reply = readCount(h, 11);
    const long long ms = msSince(start);
    c.check(hex(reply) == "81050843015100746f6f62", "read gave " + hex(reply));
    c.check(ms >= 900 && ms < 4000, "whole reply after " + std::to_string(ms) + " ms");
    c.check(SerialLine::close(h), "close failed");
}

void purgeDiscardsStaleBytes(Case &c)
{
    const SerialLine::Handle h = openDataPort(c);
    if (h == SerialLine::InvalidHandle)
        return;
    // Without a purge the stale bytes come first ...
    c.check(command("send 5354414c45"), "peer refused send");
    Sleep(300);
    c.check(command("send 4652455348"), "peer refused send");
    const Bytes both = readCount(h, 10);
    c.check(std::string(both.begin(), both.end()) == "STALEFRESH",
            "unpurged line gave " + hex(both));
    // ... with one they are gone.
    c.check(command("send 5354414c45"), "peer refused send");
    Sleep(300);
    c.check(SerialLine::purge(h), "purge failed, error " + str(GetLastError()));
    c.check(command("send 4652455348"), "peer refused send");
    const Bytes fresh = readCount(h, 5);
    c.check(std::string(fresh.begin(), fresh.end()) == "FRESH", "purged line gave " + hex(fresh));
    c.check(SerialLine::close(h), "close failed");
}

// From a line left in `state`, every byte value passes both ways.
void binaryClean(Case &c, const std::string &state)
{
    const SerialLine::Handle h = openDataPort(c, state);
    if (h == SerialLine::InvalidHandle)
        return;
    // The state found and the state set, once each.
    c.check(reportsStartingWith("Serial line state at open: ").size() == 1
                && reportsStartingWith("Serial line state set: ").size() == 1,
            "the line state at open was not reported once; reports: " + allReports());
    const Bytes pattern = binaryPattern();
    const auto size = static_cast<std::uint32_t>(pattern.size());

    // Far end to us.
    c.check(command("send " + hex(pattern)), "peer refused send");
    const Bytes in = readCount(h, size);
    c.check(in == pattern, "read gave " + hex(in));

    // Us to the far end.
    std::uint32_t written = 0;
    c.check(SerialLine::write(h, pattern.data(), size, &written),
            "write failed, error " + str(GetLastError()));
    c.check(written == size, "wrote " + str(written) + " of " + str(size));
    // The bytes may reach the far end after the next command does.
    Bytes out;
    for (int i = 0; i < 20 && out.size() < pattern.size(); ++i) {
        Bytes more;
        if (!c.check(peerReceived(&more), "peer did not report"))
            break;
        out.insert(out.end(), more.begin(), more.end());
        if (out.size() < pattern.size())
            Sleep(100);
    }
    c.check(out == pattern, "far end received " + hex(out));
    // A line that mangles bytes would time out on every piece below.
    if (!c.failures().empty()) {
        SerialLine::close(h);
        return;
    }

    // And round trip, record-sized pieces as the update sends them.
    c.check(command("echo 1"), "peer refused echo");
    Bytes back;
    for (std::size_t i = 0; i < pattern.size(); i += 11) {
        const Bytes piece(pattern.begin() + static_cast<long>(i),
                          pattern.begin() + static_cast<long>(std::min(i + 11, pattern.size())));
        c.check(writeAll(h, piece), "write of a piece failed");
        const Bytes echoed = readCount(h, static_cast<std::uint32_t>(piece.size()));
        back.insert(back.end(), echoed.begin(), echoed.end());
    }
    c.check(back == pattern, "echo gave " + hex(back));
    c.check(command("echo 0"), "peer refused echo");
    c.check(SerialLine::close(h), "close failed");
}

// Drivers that refuse the line state work with their own, as a program
// that sets none would; only refused time-outs make the port unusable.
void portWithoutLineStateOpens(Case &c)
{
    const SerialLine::Handle h = SerialLine::open(SerialLine::devicePath(g_ports.notSerial));
    c.check(h != SerialLine::InvalidHandle, "COM" + str(g_ports.notSerial) + " refused");
    c.check(reportsStartingWith("Serial line state cannot be read: error ").size() == 1,
            "not reported; reports: " + allReports());
    c.check(!SerialLine::setTimeouts(h), "time-outs set on COM" + str(g_ports.notSerial));
    c.check(SerialLine::lastOpenError().rfind("The port's driver refuses read and write "
                                              "time-outs: error ",
                                              0)
                == 0,
            "cause " + SerialLine::lastOpenError());
    if (h != SerialLine::InvalidHandle)
        SerialLine::close(h);
}

// Line codings drivers report that SetCommState refuses, and what is set.
void lineStateMadeSettable(Case &c)
{
    const struct
    {
        const char *name;
        BYTE byteSize, parity, stopBits;
        char xon, xoff;
        BYTE setParity, setStopBits;
    } rows[] = {
        {"XON and XOFF both 0", 8, NOPARITY, ONESTOPBIT, 0, 0, NOPARITY, ONESTOPBIT},
        {"1.5 stop bits with 8 data bits", 8, EVENPARITY, ONE5STOPBITS, 0x11, 0x13, EVENPARITY,
         ONESTOPBIT},
        {"0 data bits, parity 8", 0, 8, ONESTOPBIT, 0x11, 0x13, NOPARITY, ONESTOPBIT},
        {"nothing to put right", 7, ODDPARITY, TWOSTOPBITS, 0x11, 0x13, ODDPARITY, TWOSTOPBITS},
    };
    for (const auto &row : rows) {
        DCB dcb{};
        dcb.BaudRate = 115200;
        dcb.ByteSize = row.byteSize;
        dcb.Parity = row.parity;
        dcb.StopBits = row.stopBits;
        dcb.XonChar = row.xon;
        dcb.XoffChar = row.xoff;
        SerialLine::makeByteTransparent(&dcb);
        SerialLine::makeSettable(&dcb);
        c.check(dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == row.setParity
                    && dcb.StopBits == row.setStopBits && dcb.XonChar == 0x11
                    && dcb.XoffChar == 0x13,
                std::string(row.name) + ": " + SerialLine::describeLineState(dcb) + ", XON "
                    + str(BYTE(dcb.XonChar)) + ", XOFF " + str(BYTE(dcb.XoffChar)));
    }
}

// A line that is gone (here: its handle closed) fails reads and writes with
// the system's code and text in the report.
void failedCallsReportTheSystemError(Case &c)
{
    const SerialLine::Handle h = openDataPort(c);
    if (h == SerialLine::InvalidHandle)
        return;
    c.check(SerialLine::close(h), "close failed");
    Bytes buffer(11);
    std::uint32_t count = 99;
    c.check(!SerialLine::read(h, buffer.data(), 11, &count), "read of a closed line succeeded");
    c.check(count == 0, "read of a closed line gave " + str(count) + " bytes");
    c.check(!SerialLine::write(h, buffer.data(), 11, &count), "write to a closed line succeeded");
    c.check(count == 0, "write to a closed line wrote " + str(count) + " bytes");
    const std::string code = str(ERROR_INVALID_HANDLE);
    for (const std::string &prefix :
         {"Serial read failed after 0 of 11 bytes: error " + code + " (",
          "Serial write failed after 0 of 11 bytes: error " + code + " ("}) {
        const std::vector<std::string> found = reportsStartingWith(prefix);
        c.check(found.size() == 1 && found[0].size() > prefix.size() + 1 && found[0].back() == ')'
                    && found[0].find_first_of("\r\n") == std::string::npos,
                "no one-line report \"" + prefix + "<text>)\"; reports: " + allReports());
    }
}

void closeThenReopen(Case &c)
{
    SerialLine::Handle h = openDataPort(c);
    if (h == SerialLine::InvalidHandle)
        return;
    c.check(SerialLine::close(h), "close failed");
    for (int round = 0; round < 3; ++round) {
        h = SerialLine::open(SerialLine::devicePath(g_ports.data));
        if (!c.check(h != SerialLine::InvalidHandle,
                     "re-open " + str(round) + " failed, error " + str(GetLastError())))
            return;
        c.check(SerialLine::setTimeouts(h), "setTimeouts failed");
        c.check(SerialLine::purge(h), "purge failed");
        c.check(command("echo 1"), "peer refused echo");
        const Bytes record = {0x01,
                              0x06,
                              0x08,
                              0x40,
                              0x01,
                              0x51,
                              0x00,
                              0x00,
                              0x00,
                              0x00,
                              static_cast<std::uint8_t>(round)};
        c.check(writeAll(h, record), "write failed");
        const Bytes echoed = readCount(h, 11);
        c.check(echoed == record, "round " + str(round) + " echoed " + hex(echoed));
        c.check(command("echo 0"), "peer refused echo");
        c.check(SerialLine::close(h), "close failed");
    }
}

void sdoUploadFromSimulatedNode(Case &c)
{
    if (!c.check(g_ports.sim != 0, "simulated node not available"))
        return;
    const SerialLine::Handle h = SerialLine::open(SerialLine::devicePath(g_ports.sim));
    if (!c.check(h != SerialLine::InvalidHandle,
                 "open COM" + str(g_ports.sim) + " failed, error " + str(GetLastError())))
        return;
    c.check(SerialLine::setTimeouts(h), "setTimeouts failed");
    c.check(SerialLine::purge(h), "purge failed");
    // Upload of object 0x5101 sub-index 0 from node 1: its mode word.
    const Bytes request = {0x01, 0x06, 0x08, 0x40, 0x01, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00};
    c.check(writeAll(h, request), "write failed");
    const Bytes reply = readCount(h, 11);
    if (c.check(reply.size() == 11, "reply of " + str(reply.size()) + " bytes: " + hex(reply)))
        c.check(Bytes(reply.begin() + 7, reply.end()) == Bytes{0x6D, 0x72, 0x6F, 0x6E},
                "reply " + hex(reply) + " does not carry 'norm'");
    c.check(SerialLine::close(h), "close failed");
}

bool parsePort(const char *text, std::uint32_t *port)
{
    const std::string s = text;
    std::wstring name = L"COM" + std::wstring(s.begin(), s.end());
    return parseComDeviceName(name.c_str(), name.size(), port) && *port != 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Plain line feeds for the script reading the log.
    _setmode(_fileno(stdout), _O_BINARY);
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        std::uint32_t *target = option == "--data"        ? &g_ports.data
                                : option == "--control"   ? &g_ports.control
                                : option == "--busy"      ? &g_ports.busy
                                : option == "--unmapped"  ? &g_ports.unmapped
                                : option == "--notserial" ? &g_ports.notSerial
                                : option == "--sim"       ? &g_ports.sim
                                                          : nullptr;
        if (!target || !parsePort(argv[i + 1], target)) {
            std::printf("bad argument %s %s\n0 passed, 1 failed\n", argv[i], argv[i + 1]);
            return 2;
        }
    }
    if (!g_ports.data || !g_ports.control || !g_ports.busy || !g_ports.unmapped
        || !g_ports.notSerial) {
        std::printf("usage: --data N --control N --busy N --unmapped N --notserial N [--sim N]\n"
                    "0 passed, 1 failed\n");
        return 2;
    }
    SerialLine::setDiagnosticSink(collectReport);

    g_control = SerialLine::open(SerialLine::devicePath(g_ports.control));
    if (g_control != SerialLine::InvalidHandle) {
        SerialLine::setTimeouts(g_control);
        SerialLine::purge(g_control);
    } else {
        std::printf("control port COM%u does not open (error %lu)\n", g_ports.control,
                    GetLastError());
    }

    const std::pair<const char *, std::function<void(Case &)>> cases[] = {
        {"enumeration lists the registered ports in numeric order",
         enumerationListsRegisteredPorts},
        {"a name buffer too small is grown until the list fits", smallBufferGrows},
        {"a name buffer that cannot be had fails with ERROR_OUTOFMEMORY", unobtainableBuffer},
        {"an unmapped port number fails to open", unmappedPortFailsToOpen},
        {"a port that cannot be opened fails like one another program holds",
         portThatCannotBeOpened},
        {"a port without a line state opens, reported; its refused time-outs say why",
         portWithoutLineStateOpens},
        {"line codings SetCommState refuses are put right", lineStateMadeSettable},
        {"a silent line returns 0 bytes after the 4000 ms time-out", silentLineTimesOut},
        {"a reply in two pieces is read whole", replyInTwoPiecesReadWhole},
        {"a write to a line whose output is held off gives up after 4000 ms",
         stoppedOutputWriteGivesUp},
        {"purge discards stale bytes", purgeDiscardsStaleBytes},
        {"from a fresh terminal device's state, writes and reads are binary-clean",
         [](Case &c) { binaryClean(c, "fresh"); }},
        {"from the state a terminal program leaves (XON/XOFF), writes and reads are binary-clean",
         [](Case &c) { binaryClean(c, "terminal"); }},
        {"close then re-open", closeThenReopen},
        {"failed reads and writes are reported with the system's error",
         failedCallsReportTheSystemError},
        {"SDO upload of the mode word from the simulated node", sdoUploadFromSimulatedNode},
    };
    int passed = 0;
    int failed = 0;
    for (const auto &entry : cases) {
        Case c;
        g_reports.clear();
        const auto start = Clock::now();
        entry.second(c);
        const long long ms = msSince(start);
        if (c.failures().empty()) {
            ++passed;
            std::printf("PASS  %s (%lld ms)\n", entry.first, ms);
        } else {
            ++failed;
            std::printf("FAIL  %s (%lld ms)\n", entry.first, ms);
            for (const std::string &f : c.failures())
                std::printf("        %s\n", f.c_str());
        }
        // What support would see in the log.
        for (const std::string &line : g_reports)
            std::printf("      | %s\n", line.c_str());
        std::fflush(stdout);
    }
    if (g_control != SerialLine::InvalidHandle)
        SerialLine::close(g_control);
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}
