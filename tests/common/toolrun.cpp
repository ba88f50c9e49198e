#include "toolrun.h"

#include "desktop.h"
#include "hextestutil.h"

#include "app/quorvexremoteiofirmwareupdater.h"
#include "app/updatelog.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QTest>
#include <QThread>

#include <cstdlib>

namespace toolrun {

namespace {

QStringList updateLogs(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("update-*.log")}, QDir::Files, QDir::Name);
}

// The update log that was not in `before`, once it has its outcome line
// (waiting up to 10 s for it); the newest such log when the line did not
// come, empty when none came.
QString newLogWithOutcome(const QString &folder, const QStringList &before)
{
    QString newest;
    for (int i = 0; i < 100; ++i) {
        const QStringList now = updateLogs(folder);
        if (!now.isEmpty() && !before.contains(now.last())) {
            newest = QDir(folder).filePath(now.last());
            if (lastLine(newest).startsWith(QLatin1String("Outcome: ")))
                break;
        }
        QThread::msleep(100);
    }
    return newest;
}

} // namespace

std::string windowTitle()
{
    const QString name = QStringLiteral(QRIO_APP_NAME);
    return (QLatin1Char('^') + QRegularExpression::escape(name) + QLatin1Char('$')).toStdString();
}

QString install(const QString &program, const QString &dir, const QString &hexName,
                const QByteArray &hex)
{
    const QString folder = dir + QStringLiteral("/" QRIO_FIRMWARE_FOLDER);
    const QString copy = dir + QStringLiteral("/" QRIO_EXE_NAME);
    if (!QDir().mkpath(folder) || !QFile::copy(program, copy)
        || !hextest::writeFile(folder + QLatin1Char('/') + hexName + QStringLiteral(".hex"), hex))
        return QString();
    return copy;
}

QPoint updateButtonCentre()
{
    QuorvexRemoteIOFirmwareUpdater probe;
    probe.show();
    if (!QTest::qWaitForWindowExposed(&probe))
        return QPoint();
    QPushButton *button = probe.ui->button_update;
    return button->mapTo(&probe, button->rect().center());
}

void choose(int nodeId, int com, const QString &hexName)
{
    QSettings settings;
    settings.setValue(QStringLiteral("Settings/nodeid"), QString::number(nodeId));
    settings.setValue(QStringLiteral("Settings/com_port"), QString::number(com));
    settings.setValue(QStringLiteral("Settings/filename"), hexName);
}

QString lastLine(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
    return QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last());
}

Outcome runUpdate(const Update &update)
{
    Outcome outcome;
    desktop::Process tool;
    if (!tool.start({update.program.toStdString()})) {
        outcome.error = "the program did not start";
        return outcome;
    }
    const std::string window = desktop::waitForWindow(tool.pid(), windowTitle(), 20);
    if (window.empty()) {
        outcome.error = "the program's window did not show";
        return outcome;
    }
    const QString logs = UpdateLog::defaultFolder();
    const QStringList before = updateLogs(logs);
    const qint64 offset = QFileInfo(update.nodeLog).size();
    if (update.windowShown) {
        outcome.error = update.windowShown(window);
        if (!outcome.ok())
            return outcome;
    }
    if (!desktop::pressButton(window, update.updateAt.x(), update.updateAt.y(),
                              [&] { return QFileInfo(update.nodeLog).size() != offset; })) {
        outcome.error = "the node heard nothing after five clicks on Update";
        return outcome;
    }
    const std::string box = desktop::waitForWindow(tool.pid(), successTitle, update.boxSeconds);
    if (update.boxShown)
        update.boxShown();
    if (box.empty()) {
        // Whatever box it shows (some carry the window's own title) is
        // dismissed; its log then says how the update ended.
        std::system(("xdotool search --all --onlyvisible --pid " + std::to_string(tool.pid())
                     + " --name . key --window %@ Escape >/dev/null 2>&1")
                        .c_str());
        const QString log = newLogWithOutcome(logs, before);
        outcome.error =
            "no \"Burning Firmware Successful\" box within " + std::to_string(update.boxSeconds)
            + " s; its log: " + (log.isEmpty() ? std::string("none") : lastLine(log).toStdString());
        return outcome;
    }
    // Dismissed as the user does; the log is finished after the box. Sent
    // once: a key sent to a window that has gone can leave the key held down
    // in the server, repeating into the next run's dialog.
    desktop::key(box, "Escape");
    outcome.updateLog = newLogWithOutcome(logs, before);
    tool.stop();
    std::system("xdotool keyup Escape >/dev/null 2>&1");
    const QString last = lastLine(outcome.updateLog);
    if (!last.startsWith(QLatin1String("Outcome: \"Burning Firmware Successful\"")))
        outcome.error = "the update log in " + logs.toStdString() + " has no success outcome: \""
                        + last.toStdString() + "\" (" + outcome.updateLog.toStdString() + ")";
    return outcome;
}

} // namespace toolrun
