#pragma once
// A simulated serial-to-CAN adapter with one remote-IO node behind it, on a
// pseudo-terminal. Plain C++ (no Qt): the test programs run it in-process on
// its own thread, and the canopen-node-sim program wraps it for the demo and
// for the Windows tests under Wine. It speaks the protocol of the canopen/
// headers, described in docs/protocol.md.

#include "bustraffic.h"
#include "linemodel.h"

#include "canopen/modepauses.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nodesim {

struct Faults
{
    bool silent = false;           // never answers anything
    long silentAfterRequests = -1; // >= 0: answers that many requests, then falls silent
    int splitPieces = 1;           // > 1: each reply goes out in this many pieces ...
    int splitDelayMs = 0;          // ... with this pause between pieces
    int latencyMs = 0;             // pause before every reply
    bool neverBoot = false;        // ignores the commands into boot mode
    bool neverUser = false;        // restarts into boot mode again on the user-mode command
    bool noBootUp = false;         // sends no boot-up record after a restart
    long corruptFlashOffset =
        -1; // >= 0: the flash byte at this offset (from the flash base) is stored inverted
    bool strayByte = false;             // one 0x00 byte goes out before the next reply (once)
    bool extraReplyToBootStep1 = false; // answers the sub-index 1 boot command too
};

struct Options
{
    int nodeId = 1;
    int com = -1; // >= 0: register as COM<com> in the dosdevices folder; 0 picks a free number
    std::string dosDevicesDir; // empty: the tool's own, PosixPorts::dosDevicesDir()
    std::string flashPath;     // empty: flash kept in memory only
    std::string logPath;       // empty: log kept in memory only
    // Restart time after the user-mode command: by default a fifth of the
    // tool's pause, so that the boot-up record comes well within it.
    int rebootDelayMs = int(ModePauses::afterUserMode.count() / 5);
    bool startInBootMode = false;
    LineModel line;        // what each reply waits for the line it would cross; off by default
    BusTrafficOptions bus; // what else the bus carries; a quiet bus by default
    Faults faults;
};

enum class Direction { Received, Sent };

struct LogEntry
{
    std::chrono::steady_clock::time_point time;
    Direction direction;
    std::vector<std::uint8_t>
        bytes;            // one whole record (or one piece of a split reply, marked below)
    int piece = 0;        // a split reply's pieces are numbered 1, 2, ...; 0 for a whole record
    bool dropped = false; // received bytes skipped to get back in step (no record)
};

struct Adapter;

class NodeSim
{
public:
    explicit NodeSim(Options options);
    ~NodeSim(); // stops and unregisters

    NodeSim(const NodeSim &) = delete;
    NodeSim &operator=(const NodeSim &) = delete;

    // Opens the pseudo-terminal, registers the port and starts serving on a
    // thread of its own. False (with error()) when something failed.
    bool start();
    void stop();
    std::string error() const;

    std::string slavePath() const; // /dev/pts/N
    int comNumber() const;         // the registered COM number, -1 when none
    std::string linkPath() const;  // the dosdevices link, empty when none

    // Fault switches may change while it runs. silentAfterRequests counts
    // from start() or from the call that changes its value.
    void setFaults(const Faults &faults);
    Faults faults() const;

    // Closes the pseudo-terminal's master side: the peer sees a hang-up.
    void hangUp();

    // What the node did.
    std::vector<LogEntry> log() const;
    void clearLog();
    std::vector<std::vector<std::uint8_t>> receivedRecords() const; // requests in order
    bool bootMode() const;
    bool firmwareMarked() const;             // sub-index 4 written with the command key since start
    long requestCount() const;               // records received for this node
    std::vector<std::uint8_t> flash() const; // the whole flash, FlashGeometry::flashSize bytes
    void setFlash(const std::vector<std::uint8_t> &contents);

private:
    // The running adapter and the node behind it (adapter.h).
    std::unique_ptr<Adapter> adapter;
};

} // namespace nodesim
