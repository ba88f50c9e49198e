// canopen-node-sim: a simulated serial-to-CAN adapter with one remote-IO node
// behind it, on a pseudo-terminal registered as a COM port. Prints
// "COM<n> <slave path>" once it serves, and runs until SIGINT, SIGTERM or
// SIGHUP.

#include "nodesim.h"

#include "canopen/flashgeometry.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <pthread.h>

namespace {

// printf format: the defaults of nodesim::Options fill it in (printUsage).
const char kUsage[] =
    "Usage: canopen-node-sim [options]\n"
    "Simulates a serial-to-CAN adapter with one node behind it on a pseudo-terminal\n"
    "and registers it as a COM port in the dosdevices folder.\n"
    "\n"
    "  --com N|auto          register as COM<N>; auto (default) takes the lowest free\n"
    "                        number from 50 up\n"
    "  --dosdevices DIR      the folder to register in (default:\n"
    "                        <XDG_CONFIG_HOME or ~/.config>/" QRIO_COMPANY "/dosdevices)\n"
    "  --node ID             node ID, 1 to 127 (default 1)\n"
    "  --flash PATH          keep the flash in this file (created erased if missing)\n"
    "  --log PATH            append every record received and sent to this file\n"
    "  --reboot-delay MS     restart time after the user-mode command (default %d)\n"
    "  --boot                start in boot mode\n"
    "Line model (each off by default; every reply then waits for the line it\n"
    "would have crossed, the request's way there included):\n"
    "  --baud N              serial line of N baud, 10 bits a byte\n"
    "  --can-bitrate N       CAN bus of N bit/s, one frame each way\n"
    "  --adapter-latency MS  the adapter passes each record on MS ms late\n"
    "Bus traffic (each off by default), passed on to the computer like replies:\n"
    "  --heartbeat MS        the node's heartbeat every MS ms while its user\n"
    "                        firmware runs\n"
    "  --other-nodes ID,...  other nodes on the bus, each sending its heartbeat\n"
    "                        and a PDO ...\n"
    "  --other-period MS     ... every MS ms (default %d)\n"
    "Faults:\n"
    "  --silent              answer nothing\n"
    "  --silent-after N      answer N requests, then nothing\n"
    "  --split PIECES:MS     send each reply in PIECES pieces, MS apart\n"
    "  --latency MS          wait MS before every reply\n"
    "  --never-boot          ignore the commands into boot mode\n"
    "  --never-user          restart into boot mode again on the user-mode command\n"
    "  --no-bootup           send no boot-up frame after a restart\n"
    "  --corrupt OFFSET      store the flash byte at OFFSET (from 0x8000) inverted\n"
    "  --stray-byte          send one 0x00 byte before the next reply\n"
    "  --extra-boot-reply    answer the first boot command too\n"
    "  --help                show this text\n"
    "\n"
    "On start it prints one line: COM<n> <slave path>.\n";

void printUsage(std::FILE *to)
{
    const nodesim::Options defaults;
    std::fprintf(to, kUsage, defaults.rebootDelayMs, defaults.bus.otherPeriodMs);
}

[[noreturn]] void usageError(const std::string &message)
{
    std::fprintf(stderr, "canopen-node-sim: %s\n\n", message.c_str());
    printUsage(stderr);
    std::exit(2);
}

// A whole decimal (or 0x-prefixed hexadecimal) number in [min, max].
long number(const std::string &option, const char *text, long min, long max)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (!*text || *end || errno != 0 || value < min || value > max)
        usageError("invalid value '" + std::string(text) + "' for " + option);
    return value;
}

// A folder or file name, which may not be empty; `what` names it in the
// error ("folder", "path").
std::string name(const std::string &option, const char *text, const char *what)
{
    if (!*text)
        usageError(std::string("empty ") + what + " for " + option);
    return text;
}

// A comma-separated list of node IDs, each 1 to 127.
std::vector<int> nodeList(const std::string &option, const std::string &text)
{
    std::vector<int> ids;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        ids.push_back(int(number(option, text.substr(at, comma - at).c_str(), 1, 127)));
        if (comma == std::string::npos)
            return ids;
        at = comma + 1;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    nodesim::Options options;
    options.com = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usageError("missing value for " + arg);
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        } else if (arg == "--com") {
            const char *v = value();
            options.com = std::strcmp(v, "auto") == 0 ? 0 : int(number(arg, v, 1, 99999));
        } else if (arg == "--dosdevices") {
            options.dosDevicesDir = name(arg, value(), "folder");
        } else if (arg == "--node") {
            options.nodeId = int(number(arg, value(), 1, 127));
        } else if (arg == "--flash") {
            options.flashPath = name(arg, value(), "path");
        } else if (arg == "--log") {
            options.logPath = name(arg, value(), "path");
        } else if (arg == "--reboot-delay") {
            options.rebootDelayMs = int(number(arg, value(), 0, 3600000));
        } else if (arg == "--baud") {
            options.line.baud = number(arg, value(), 1, 100000000);
        } else if (arg == "--can-bitrate") {
            options.line.canBitrate = number(arg, value(), 1, 100000000);
        } else if (arg == "--adapter-latency") {
            options.line.adapterLatencyMs = int(number(arg, value(), 0, 60000));
        } else if (arg == "--heartbeat") {
            options.bus.heartbeatMs = int(number(arg, value(), 1, 3600000));
        } else if (arg == "--other-nodes") {
            options.bus.otherNodes = nodeList(arg, value());
        } else if (arg == "--other-period") {
            options.bus.otherPeriodMs = int(number(arg, value(), 1, 3600000));
        } else if (arg == "--boot") {
            options.startInBootMode = true;
        } else if (arg == "--silent") {
            options.faults.silent = true;
        } else if (arg == "--silent-after") {
            options.faults.silentAfterRequests = number(arg, value(), 0, 1000000000);
        } else if (arg == "--split") {
            const std::string v = value();
            const auto colon = v.find(':');
            if (colon == std::string::npos)
                usageError("--split wants PIECES:MS, not '" + v + "'");
            options.faults.splitPieces = int(number(arg, v.substr(0, colon).c_str(), 1, 11));
            options.faults.splitDelayMs = int(number(arg, v.substr(colon + 1).c_str(), 0, 3600000));
        } else if (arg == "--latency") {
            options.faults.latencyMs = int(number(arg, value(), 0, 3600000));
        } else if (arg == "--never-boot") {
            options.faults.neverBoot = true;
        } else if (arg == "--never-user") {
            options.faults.neverUser = true;
        } else if (arg == "--no-bootup") {
            options.faults.noBootUp = true;
        } else if (arg == "--corrupt") {
            options.faults.corruptFlashOffset =
                number(arg, value(), 0, FlashGeometry::flashSize - 1);
        } else if (arg == "--stray-byte") {
            options.faults.strayByte = true;
        } else if (arg == "--extra-boot-reply") {
            options.faults.extraReplyToBootStep1 = true;
        } else {
            usageError("unknown argument '" + arg + "'");
        }
    }

    // The signals are taken by sigwait below; the serving thread inherits
    // the mask and never sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    nodesim::NodeSim node(options);
    if (!node.start()) {
        std::fprintf(stderr, "canopen-node-sim: %s\n", node.error().c_str());
        return 1;
    }
    std::printf("COM%d %s\n", node.comNumber(), node.slavePath().c_str());
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    node.stop();
    return 0;
}
