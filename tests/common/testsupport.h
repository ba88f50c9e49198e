#pragma once
// Helpers shared by the test programs.

#include "sim/nodesim.h"
#include "app/quorvexremoteiofirmwareupdater.h"

#include <QList>
#include <QStringList>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

class QApplication;

namespace testsupport {

// Points XDG_CONFIG_HOME (settings store and dosdevices folder) and
// XDG_DATA_HOME (update logs) at a fresh temporary folder for the life of the
// process, so tests never touch the user's own settings, ports and logs, and
// parallel tests never meet. Call before
// the QApplication is made; QRIO_TEST_MAIN does.
void isolateConfig();
QString configDir();     // the folder isolateConfig made
QString dosDevicesDir(); // <configDir>/<company>/dosdevices

// A simulated node registered under a free COM number in this process's
// dosdevices folder.
std::unique_ptr<nodesim::NodeSim> startNode(nodesim::Options options = {});

// A window with its line open to a simulated node, for driving single
// steps of an update.
struct NodeRig
{
    explicit NodeRig(nodesim::Options options = {});
    ~NodeRig();
    std::unique_ptr<nodesim::NodeSim> node;
    std::unique_ptr<QuorvexRemoteIOFirmwareUpdater> window;
    SerialLine::Handle line = SerialLine::InvalidHandle;
    // The requests the node received, as hex text ("01060840015100...").
    QStringList requests() const;
};

// A bare pseudo-terminal registered as COM<n>, whose far end the test plays
// byte by byte (for the serial line's own tests).
class PtyPeer
{
public:
    explicit PtyPeer(int com = 0); // 0: a free number
    ~PtyPeer();
    int com() const { return m_com; }
    int master() const { return m_master; }
    QString slavePath() const { return m_slave; }
    void send(const QByteArray &bytes);
    // Whatever arrives within `ms` milliseconds, up to `max` bytes.
    QByteArray receive(int max, int ms);
    void hangUp(); // closes the master side

private:
    int m_com = -1;
    int m_master = -1;
    int m_slaveKeep = -1;
    QString m_slave;
    QString m_link;
};

// A free COM number in this process's dosdevices folder, from `from` up.
int freeComNumber(int from = 50);

// Deterministic pseudo-random bytes.
QByteArray randomBytes(int size, quint32 seed);

// Collects the debug lines written while it lives.
class DebugCapture
{
public:
    DebugCapture();
    ~DebugCapture();
    QStringList lines() const;

private:
    QtMessageHandler m_previous;
};

// Records every message box that appears while it lives and dismisses it
// with OK. A box that appears while no catcher lives fails the running test
// (see failOnUncaughtBoxes).
struct CaughtBox
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QWidget *parent;
};

class MessageBoxCatcher : public QObject
{
    Q_OBJECT
public:
    explicit MessageBoxCatcher(QObject *parent = nullptr);
    ~MessageBoxCatcher() override;
    QList<CaughtBox> boxes;
    // True while some catcher lives in this process.
    static bool active();

private slots:
    void poll();

private:
    QTimer timer;
};

// From now on, a message box that appears while no MessageBoxCatcher lives
// is a failure of the running test function, reported with its title and
// text within about 10 ms, and dismissed: a box nobody expected ends the
// test at once instead of waiting modally for a click that never comes.
// Needs the QApplication; QRIO_TEST_MAIN calls it.
void failOnUncaughtBoxes();

} // namespace testsupport

// QTEST_MAIN with an isolated config location, the offscreen platform and
// uncaught message boxes as failures.
#define QRIO_TEST_MAIN(TestObject)                          \
    int main(int argc, char *argv[])                        \
    {                                                       \
        testsupport::isolateConfig();                       \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) \
            qputenv("QT_QPA_PLATFORM", "offscreen");        \
        QApplication app(argc, argv);                       \
        app.setAttribute(Qt::AA_Use96Dpi, true);            \
        testsupport::failOnUncaughtBoxes();                 \
        TestObject tc;                                      \
        QTEST_SET_MAIN_SOURCE_PATH                          \
        return QTest::qExec(&tc, argc, argv);               \
    }
