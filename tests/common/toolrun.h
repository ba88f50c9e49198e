#pragma once
// The shipped program set up and run as a user has it, for the desktop checks
// and the benchmarks that run it as its own process (desktop.h): beside its
// own firmware folder, its choices in its settings, its Update button found
// on the virtual display, and one whole update clicked through to its box.

#include <QPoint>
#include <QString>

#include <functional>
#include <string>

namespace toolrun {

// The program's main window, as xdotool searches for it by title (a regular
// expression matching exactly the application's name).
std::string windowTitle();
// The box a successful update ends in, the same way.
constexpr char successTitle[] = "^Burning Firmware Successful$";

// `program` copied into folder `dir`, with `hex` as <hexName>.hex in the
// firmware folder beside it, as shipped. Returns the copy's path; empty
// when something could not be written.
QString install(const QString &program, const QString &dir, const QString &hexName,
                const QByteArray &hex);

// The Update button's centre in the window: asked of the same window on
// the same display with the same fonts, in this process (which needs its
// QApplication on that display). A null point when the window did not show.
// The window made for it gives this process the program's settings names.
QPoint updateButtonCentre();

// The program's next start comes up with node `nodeId`, COM<com> and
// <hexName>.hex chosen. Call it after updateButtonCentre(), which gave the
// process the program's settings names.
void choose(int nodeId, int com, const QString &hexName);

// The last line of a text file (an update log's outcome), empty when none.
QString lastLine(const QString &path);

// One whole update, as runUpdate() drives it.
struct Update
{
    QString program; // the copy install() made, its choices made by choose()
    QPoint updateAt; // updateButtonCentre()
    // The simulator's --log file: a click on Update took once it grows.
    QString nodeLog;
    int boxSeconds = 120; // how long the update may take
    // Called with the window's id once it shows, just before the first
    // click; a non-empty return ends the run with that as its error.
    std::function<std::string(const std::string &window)> windowShown;
    // Called the moment the success box shows, or the wait for it ends.
    std::function<void()> boxShown;
};

// What an update left: the error (empty: it ended in "Burning Firmware
// Successful", box and log alike) and the update log it wrote.
struct Outcome
{
    std::string error;
    QString updateLog;
    bool ok() const { return error.empty(); }
};

// Runs update.program through one update as a user does: starts it, waits
// up to 20 s for its window, clicks Update until the node hears it (five
// clicks at most), waits up to boxSeconds for the success box, dismisses it
// with Escape, waits up to 10 s for the update log's outcome line and stops
// the program. Another box is dismissed too, and the error then quotes the
// log's last line. Needs the display of desktop::startDisplay and
// updateButtonCentre() called before; blocks for the whole update.
Outcome runUpdate(const Update &update);

} // namespace toolrun
