#pragma once
// The six operations on a COM port's serial line. One implementation per
// platform (serialline_win.cpp, serialline_posix.cpp); no Qt in here so the
// Windows side can be cross-compiled and tested on its own.

#include <cstdint>
#include <string>

namespace SerialLine {

// A Win32 HANDLE or a POSIX file descriptor, both fit; -1 is
// INVALID_HANDLE_VALUE on Windows and the invalid descriptor on POSIX.
using Handle = std::intptr_t;
constexpr Handle InvalidHandle = -1;

// Total read deadline given to every open line.
constexpr std::uint32_t ReadTimeoutMs = 4000;

// Total write deadline: a line whose output has stopped (flow control held
// off, a stalled adapter) must not hold the tool for ever. A request that
// did not go out then shows up as the time-out of its reply.
constexpr std::uint32_t WriteTimeoutMs = 4000;

// "\\.\COM" followed by the port number in decimal, e.g. \\.\COM12.
std::wstring devicePath(std::uint32_t port);

// Read and write access, no sharing, the line made byte-transparent where
// the driver lets it (no flow control, no character handling; speed and
// framing stay as the driver has them; a driver that refuses the line state
// keeps its own, reported). InvalidHandle when the port is missing, may not
// be opened, is held by another program (on Linux also: named in a live
// lock file or set to exclusive use by another process) or is not a serial
// device; lastOpenError() then says which.
Handle open(const std::wstring &path);

// Read deadline of ReadTimeoutMs in total, no interval time-out, write
// deadline of WriteTimeoutMs in total. False for InvalidHandle (the failed
// open's cause stands), and when the driver refuses them (lastOpenError()
// then says so): the line is not fit for use.
bool setTimeouts(Handle h);

// Why the last open() failed, or setTimeouts() was refused, as one line of
// plain text for the user: what happened, the program holding the port when
// it can be found, the system's error, and what to do where that is clear,
// e.g. "The port does not exist: error 2 (...). An adapter plugged in again
// may have got another COM number." Empty after an open that succeeded.
// Kept per thread.
std::string lastOpenError();

// Discards whatever waits in the transmit and receive buffers.
bool purge(Handle h);

// Writes the whole record; *written receives the count that went out.
// Blocks until all of it went out or WriteTimeoutMs after the call began;
// false when the line failed or the deadline left part of it unsent.
bool write(Handle h, const void *data, std::uint32_t size, std::uint32_t *written);

// Returns once `size` bytes have arrived or `timeoutMs` (1 to
// ReadTimeoutMs) after the call began, with what has arrived in *got (0:
// nothing arrived). A shorter deadline serves a reader whose own deadline
// is nearer than a whole read time-out.
bool read(Handle h, void *buffer, std::uint32_t size, std::uint32_t *got,
          std::uint32_t timeoutMs = ReadTimeoutMs);

// Discards unsent output (so that it never waits for a stalled line), then
// closes the port.
bool close(Handle h);

// What the layer tells support that the results above cannot carry: the
// line state found and set at open, and each failed or short read or write
// with the system's error code and text. Each report is one line of text,
// handed to the sink on the calling thread, synchronously; without a sink
// (the default) nothing is reported. The sink must not call back into
// this layer.
using DiagnosticSink = void (*)(const std::string &line);
void setDiagnosticSink(DiagnosticSink sink);

// Hands `line` to the sink, if one is set. For the platform files.
void report(const std::string &line);

// The reports of a read or write that ended early, worded alike on every
// platform: "Serial <what>: <done> of <size> bytes within <ms> ms" (its
// deadline passed) and "Serial <what> failed after <done> of <size> bytes:
// error <code> (<text>)". For the platform files.
void reportDeadline(const char *what, std::uint32_t done, std::uint32_t size, std::uint32_t ms);
void reportFailure(const char *what, std::uint32_t done, std::uint32_t size, std::uint32_t code);

// "error <code> (<the system's text for it>)", the form every report of a
// failed call takes: GetLastError/FormatMessage on Windows, errno/strerror
// on Linux.
std::string systemErrorText(std::uint32_t code);

} // namespace SerialLine
