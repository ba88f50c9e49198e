#pragma once
// The shipped program set up as a user has it, for the benchmarks and the
// desktop checks that run it as its own process (desktop.h): beside its own
// firmware folder, its choices in its settings, and where its Update button
// sits on the virtual display.

#include "desktop.h"
#include "tests/common/hextestutil.h"
#include "app/quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"

#include <QDir>
#include <QFile>
#include <QPoint>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

namespace toolrun {

// The program's windows, as xdotool searches for them by title.
inline std::string windowTitle()
{
    const QString name = QStringLiteral(QRIO_APP_NAME);
    return (QLatin1Char('^') + QRegularExpression::escape(name) + QLatin1Char('$')).toStdString();
}
constexpr char successTitle[] = "^Burning Firmware Successful$";

// `program` copied into folder `dir`, with `hex` as <hexName>.hex in the
// firmware folder beside it, as shipped. Returns the copy's path; empty
// when something could not be written.
inline QString install(const QString &program, const QString &dir, const QString &hexName,
                       const QByteArray &hex)
{
    const QString folder = dir + QStringLiteral("/" QRIO_FIRMWARE_FOLDER);
    const QString copy = dir + QStringLiteral("/" QRIO_EXE_NAME);
    if (!QDir().mkpath(folder) || !QFile::copy(program, copy)
        || !hextest::writeFile(folder + QLatin1Char('/') + hexName + QStringLiteral(".hex"), hex))
        return QString();
    return copy;
}

// The Update button's centre in the window: asked of the same window on
// the same display with the same fonts, in this process (which needs its
// QApplication on that display). A null point when the window did not show.
inline QPoint updateButtonCentre()
{
    QuorvexRemoteIOFirmwareUpdater probe;
    probe.show();
    if (!QTest::qWaitForWindowExposed(&probe))
        return QPoint();
    QPushButton *button = probe.ui->button_update;
    return button->mapTo(&probe, button->rect().center());
}

// The program's next start comes up with node `nodeId`, COM<com> and
// <hexName>.hex chosen. Call it after a window of the program's class was
// made in this process: that gave the process the program's settings names.
inline void choose(int nodeId, int com, const QString &hexName)
{
    QSettings settings;
    settings.setValue(QStringLiteral("Settings/nodeid"), QString::number(nodeId));
    settings.setValue(QStringLiteral("Settings/com_port"), QString::number(com));
    settings.setValue(QStringLiteral("Settings/filename"), hexName);
}

} // namespace toolrun
