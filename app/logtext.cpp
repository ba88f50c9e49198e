// The update log's lines (logtext.h).

#include "logtext.h"
#include "canopen/serialcanframe.h"
#include "firmware/hexparser.h"

#include <QCoreApplication>
#include <QFileInfo>

#ifndef QRIO_VERSION
#error "QRIO_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace LogText {

namespace {

const char *const kTransferNames[] = {"Flash write", "Read-back"};
const char *const kTransferStages[] = {"flash write done", "read-back done"};

QString offsetText(const QDateTime &t)
{
    const int minutes = t.offsetFromUtc() / 60;
    const int a = minutes < 0 ? -minutes : minutes;
    return QString::asprintf("%c%02d:%02d", minutes < 0 ? '-' : '+', a / 60, a % 60);
}

QString oneLine(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

} // namespace

QList<QByteArray> header(const QDateTime &start, const HeaderFields &fields)
{
    QList<QByteArray> lines;
    auto field = [&lines](const char *name, const QString &value) {
        lines << QByteArray(name) + ": " + value.toUtf8();
    };
    lines << QCoreApplication::applicationName().toUtf8() + " update log";
    field("Tool version", QStringLiteral(QRIO_VERSION));
    field("Started",
          start.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + offsetText(start));
    field("COM port", fields.port);
    field("Node ID", fields.nodeId);
    field("Firmware file", fields.firmware);
    field("Firmware size", fields.firmwareSize);
    field("Vector checksum word", fields.checksum);
    lines << QByteArray();
    return lines;
}

QString portField(std::uint32_t port)
{
    return QStringLiteral("COM%1").arg(port);
}

QString firmwareField(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("(none chosen)");
    const QFileInfo info(path);
    QString text = info.fileName();
    if (info.isFile())
        text += QStringLiteral(" (%1 bytes)").arg(info.size());
    return text;
}

QString sizeField(int size)
{
    return QStringLiteral("%1 bytes").arg(size);
}

QString checksumField(const std::uint8_t *image)
{
    return QString::asprintf(
        "%08X", static_cast<unsigned>(SerialCanFrame::getU32(image + HexParser::kChecksumOffset)));
}

QByteArray imageLoadedStage()
{
    return "Stage: firmware loaded";
}

QByteArray stage(UpdateObserver::Stage stage)
{
    switch (stage) {
    case UpdateObserver::BootModeEntered:
        return "Stage: boot mode entered";
    case UpdateObserver::ImagesEqual:
        return "Stage: compare: equal";
    case UpdateObserver::ImagesDifferent:
        return "Stage: compare: different";
    case UpdateObserver::FirmwareMarked:
        return "Stage: firmware mark written";
    case UpdateObserver::UserModeEntered:
        return "Stage: user mode entered";
    }
    return "Stage: ?";
}

QByteArray transferEndedStage(UpdateObserver::Transfer which, int blocksDone, int blocks)
{
    return QStringLiteral("Stage: %1 (%2 of %3 blocks)")
        .arg(QLatin1String(kTransferStages[which]))
        .arg(blocksDone)
        .arg(blocks)
        .toLatin1();
}

QString transferLine(UpdateObserver::Transfer which, bool ended, long exchanges, qint64 ns)
{
    QString line = QLatin1String(kTransferNames[which]) + QLatin1String(": ");
    if (!ended)
        line += QLatin1String("not completed");
    else if (exchanges <= 0)
        line += QLatin1String("no SDO exchanges");
    else
        line += QString::asprintf("%ld SDO exchanges in %.1f ms, %.1f us per exchange", exchanges,
                                  double(ns) / 1e6, double(ns) / 1e3 / double(exchanges));
    return line;
}

QString outcomeLine(const Outcome &outcome)
{
    if (outcome.boxSeen)
        return QStringLiteral("Outcome: \"%1\" \"%2\" after %3 ms")
            .arg(oneLine(outcome.boxTitle), oneLine(outcome.boxText))
            .arg(outcome.boxMs);
    return QStringLiteral("Outcome: %1 after %2 ms")
        .arg(outcome.aborted ? QStringLiteral("aborted")
                             : QStringLiteral("ended without a message"))
        .arg(outcome.endMs);
}

} // namespace LogText
