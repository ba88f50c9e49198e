#include "updatefault.h"

#include <QTest>

QStringList receivedRequests(const nodesim::NodeSim &node)
{
    QStringList out;
    for (const auto &record : node.receivedRecords())
        out << QByteArray(reinterpret_cast<const char *>(record.data()), int(record.size()))
                   .toHex();
    return out;
}

namespace {

// The values a whole successful update shows: the 1 it opens with, then each
// block's start, written and read back.
QList<int> expectedProgress(int imageSize)
{
    const int blocks = (imageSize + 255) / 256;
    QList<int> values{1};
    for (int i = 0; i < 2 * blocks; ++i)
        values << 256 * i;
    return values;
}

void checkExpectedBox(const UpdateRig &rig, const UpdateFault &row)
{
    if (row.noBox) {
        QCOMPARE(rig.catcher.boxes.size(), 0);
        return;
    }
    QCOMPARE(rig.catcher.boxes.size(), 1);
    const QString title =
        row.title.contains(QLatin1String("%1")) ? row.title.arg(rig.node->comNumber()) : row.title;
    checkBox(rig.catcher.boxes[0], row.icon, title, row.text, rig.window.get());
}

void updateAgain(UpdateRig &rig)
{
    const int boxesBefore = rig.catcher.boxes.size();
    rig.node->setFaults(nodesim::Faults());
    rig.node->clearLog();
    rig.pressUpdate();
    QCOMPARE(rig.catcher.boxes.size(), boxesBefore + 1);
    checkBox(rig.catcher.boxes.last(), QMessageBox::Information, "Burning Firmware Successful",
             "Firmware of remote IO has beed updated.", rig.window.get());
    if (QTest::currentTestFailed())
        return;
    rig.checkFlash();
    QCOMPARE(rig.progress.values, expectedProgress(rig.firmwareData.size()));
    rig.checkIdle();
}

} // namespace

void runUpdateFault(const UpdateFault &row)
{
    UpdateRig rig(row.options);
    if (row.imageSize >= 0)
        rig.chooseFirmware(testsupport::randomBytes(row.imageSize, row.seed));
    if (row.setUp)
        row.setUp(rig);
    if (QTest::currentTestFailed())
        return;
    if (row.skipReason && !row.skipReason().isEmpty())
        QSKIP(qPrintable(row.skipReason()));
    rig.node->clearLog();
    const long before = rig.node->requestCount();

    if (row.press)
        row.press(rig);
    else
        rig.pressUpdate();

    checkExpectedBox(rig, row);
    if (QTest::currentTestFailed())
        return;
    if (row.requestCount >= 0)
        QCOMPARE(rig.node->requestCount() - before, row.requestCount);
    if (!row.requests.isEmpty())
        QCOMPARE(receivedRequests(*rig.node), row.requests);
    for (const QString &prefix : row.notSent)
        QVERIFY2(!rig.sawRequest(prefix.toLatin1().constData()), qPrintable(prefix));
    if (row.check)
        row.check(rig);
    if (QTest::currentTestFailed())
        return;
    rig.checkIdle();
    if (row.thenUpdate && !QTest::currentTestFailed())
        updateAgain(rig);
}
