#pragma once
// Reading what an update left behind, for the benchmarks: the simulated
// node's record log (canopen-node-sim --log) and the program's update log.

#include "canopen/nodeobjects.h"
#include "canopen/serialcanframe.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <vector>

namespace logfiles {

// One request or reply the node logged: "<s>.<us> RX|TX <hex bytes>".
struct NodeRecord
{
    double us = 0;
    bool received = false;
    std::vector<unsigned> bytes;
};

// The node's log from byte `offset` on.
inline std::vector<NodeRecord> nodeRecords(const QString &path, qint64 offset)
{
    std::vector<NodeRecord> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
        return out;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() < 3)
            continue;
        const QList<QByteArray> time = parts[0].split('.');
        NodeRecord r;
        r.us = time.value(0).toDouble() * 1e6 + time.value(1).toDouble();
        r.received = parts[1] == "RX";
        for (int i = 2; i < parts.size(); ++i)
            r.bytes.push_back(parts[i].toUInt(nullptr, 16));
        out.push_back(std::move(r));
    }
    return out;
}

// Whether `r` is a download request to the node's command object with
// sub-index `sub`.
inline bool isCommand(const NodeRecord &r, unsigned sub)
{
    using namespace SerialCanFrame;
    return r.received && r.bytes.size() == SdoRecordSize
           && r.bytes[SdoCommandOffset] == SdoDownloadRequest
           && (r.bytes[SdoIndexOffset] | r.bytes[SdoIndexOffset + 1] << 8)
                  == NodeObjects::commandObject
           && r.bytes[SdoSubIndexOffset] == sub;
}

// The first line of a text file that starts with `prefix`, trimmed.
inline QString logLine(const QString &path, const char *prefix)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return QString::fromUtf8(line.trimmed());
    }
    return QString();
}

} // namespace logfiles
