#pragma once
// The client end of the simulated node's line, for the simulator's own
// tests: the pseudo-terminal's slave side opened raw (as the tool opens a
// port), the SDO records a client sends and the node answers, and block
// writes and reads in boot mode.

#include "sim/nodesim.h"

#include "canopen/nodeobjects.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace simclient {

constexpr quint32 kCommandKey = NodeObjects::commandKey;
constexpr quint32 kFlashKey = NodeObjects::flashKey;

class Port
{
public:
    explicit Port(const std::string &path); // fd < 0 when the open failed
    ~Port() { close(); }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    void close();

    // All of `bytes`, waiting up to 1 s at a time for room. False on an error.
    bool send(const QByteArray &bytes);

    // Up to `count` bytes, whatever has come when `ms` have passed. Returns
    // early when the line hangs up (and sets hungUp).
    QByteArray receive(int count, int ms);

    // Everything that comes until the line has been quiet for `quietMs`.
    QByteArray drain(int quietMs);

    // send(request), then receive(replySize, ms).
    QByteArray exchange(const QByteArray &request, int replySize = 11, int ms = 2000);

    int fd = -1;
    bool hungUp = false;
};

// Records as they go on the line (node IDs 1 to 127).
QByteArray le32(quint32 v);
QByteArray sdo(int node, quint8 cmd, quint16 index, quint8 sub, const QByteArray &data);
QByteArray download(int node, quint16 index, quint8 sub, quint32 value); // expedited, 4 bytes
QByteArray upload(int node, quint16 index, quint8 sub);
QByteArray answer(int node, quint8 cmd, quint16 index, quint8 sub, quint32 value);
QByteArray confirm(int node, quint16 index, quint8 sub); // a download's confirmation
QByteArray abortReply(int node, quint16 index, quint8 sub, quint32 code);

// Bytes from and to text: "01 06 08", and upper-case hex with blanks.
QByteArray bytes(const char *hex);
QByteArray hex(const QByteArray &b);
QByteArray hex(const std::vector<std::uint8_t> &b);

// 256 bytes that differ from block to block by `seed`.
QByteArray blockPattern(int seed);

// Node 1 in boot mode with the flash key given: the block's 64 words, then
// the store command for `address`, each confirmed (checked through QtTest).
void writeBlock(Port &port, quint32 address, const QByteArray &block);
// The block at `address` loaded and read back word by word; on a refusal
// the text "load failed: ..." or "upload failed: ..." instead.
QByteArray readBlock(Port &port, quint32 address);

// `size` bytes of the node's flash from `offset` (from the flash base).
QByteArray flashSlice(const nodesim::NodeSim &node, int offset, int size);

// A node registered in `dosDir`, started (a warning when it failed).
std::unique_ptr<nodesim::NodeSim> startIn(const QString &dosDir, nodesim::Options options);

// Where a symbolic link points, empty when it is none.
QString linkTarget(const QString &link);

// The canopen-node-sim program's one line on standard output (waits up to
// 10 s for it).
QString firstLine(QProcess &process);

} // namespace simclient
