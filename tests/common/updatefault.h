#pragma once
// A whole update that meets a fault or a field condition, as one row of a
// table: how the node misbehaves, what happens before Update is pressed (a
// port or file left as other programs leave them), the message the update
// ends in, what the node received, and whether a second update with the
// fault gone must then go through.

#include "updaterig.h"

#include <QMessageBox>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <functional>

struct UpdateFault
{
    nodesim::Options options; // the node, its fault switches included
    int imageSize = 1000;     // random firmware of this size is chosen; < 0: none
    quint32 seed = 1;         // of the firmware's bytes

    std::function<void(UpdateRig &)> setUp; // before Update is pressed
    // Asked after setUp: a reason the row cannot run here (it is then
    // skipped with it), or empty.
    std::function<QString()> skipReason;
    std::function<void(UpdateRig &)> press; // how it is pressed; empty: a plain click

    // The one message the update ends in ("%1" in the title stands for the
    // node's COM number); no message at all when noBox.
    bool noBox = false;
    QMessageBox::Icon icon = QMessageBox::Critical;
    QString title;
    QString text;

    long requestCount = -1;                 // >= 0: requests the node received during the update
    QStringList requests;                   // non-empty: the update's requests in order (hex)
    QStringList notSent;                    // hex prefixes of requests that must not have gone out
    std::function<void(UpdateRig &)> check; // further checks, after the message

    // Then the node's faults are cleared and Update is pressed again: that
    // update must succeed, writing the image with the progress counted from
    // the start.
    bool thenUpdate = false;
};
Q_DECLARE_METATYPE(UpdateFault)

// Runs one row: a node and a window set up as the row says, Update pressed,
// the row's expectations checked, the port free and the button enabled at
// the end. Returns when the row's updates have ended; failures are reported
// through QtTest (check QTest::currentTestFailed() after it).
void runUpdateFault(const UpdateFault &row);

// The hex text of the requests the node has received since its log was
// last cleared.
QStringList receivedRequests(const nodesim::NodeSim &node);
