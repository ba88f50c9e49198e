#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QTest>

#include <QFile>

#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

namespace {
QTemporaryDir *g_config = nullptr;
}

void isolateConfig()
{
    if (g_config)
        return;
    g_config = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/qrio-test-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", g_config->path().toLocal8Bit());
    // The update logs go to the data location: kept apart the same way.
    qputenv("XDG_DATA_HOME", (g_config->path() + QStringLiteral("/data")).toLocal8Bit());
    std::atexit([] {
        delete g_config;
        g_config = nullptr;
    });
}

QString configDir()
{
    return g_config ? g_config->path() : QString();
}

QString dosDevicesDir()
{
    return configDir() + QStringLiteral("/" QRIO_COMPANY "/dosdevices");
}

std::unique_ptr<nodesim::NodeSim> startNode(nodesim::Options options)
{
    if (options.com < 0)
        options.com = 0;
    if (options.dosDevicesDir.empty())
        options.dosDevicesDir = dosDevicesDir().toStdString();
    auto node = std::make_unique<nodesim::NodeSim>(options);
    if (!node->start())
        qFatal("simulated node did not start: %s", node->error().c_str());
    return node;
}

NodeRig::NodeRig(nodesim::Options options)
{
    node = startNode(options);
    window = std::make_unique<QuorvexRemoteIOFirmwareUpdater>();
    window->nodeId = options.nodeId;
    line = SerialLine::open(SerialLine::devicePath(std::uint32_t(node->comNumber())));
    SerialLine::setTimeouts(line);
    if (line == SerialLine::InvalidHandle)
        qFatal("cannot open the simulated node's port");
    window->comHandle = line;
}

NodeRig::~NodeRig()
{
    window->comHandle = SerialLine::InvalidHandle;
    SerialLine::close(line);
}

QStringList NodeRig::requests() const
{
    QStringList out;
    for (const auto &record : node->receivedRecords())
        out << QByteArray(reinterpret_cast<const char *>(record.data()), int(record.size()))
                   .toHex();
    return out;
}

int freeComNumber(int from)
{
    QDir().mkpath(dosDevicesDir());
    for (int n = from;; ++n) {
        const QString link = dosDevicesDir() + QStringLiteral("/COM%1").arg(n);
        if (!QFileInfo(link).isSymLink() && !QFileInfo::exists(link))
            return n;
    }
}

PtyPeer::PtyPeer(int com)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        qFatal("no pseudo-terminal");
    m_slave = QString::fromLocal8Bit(ptsname(m_master));
    // Keep a slave descriptor open so the master never sees a hang-up
    // between the test's opens and closes; it also makes the line raw.
    m_slaveKeep = ::open(m_slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    tcgetattr(m_slaveKeep, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_slaveKeep, TCSANOW, &tio);
    m_com = com > 0 ? com : freeComNumber();
    m_link = dosDevicesDir() + QStringLiteral("/COM%1").arg(m_com);
    QFile::remove(m_link);
    if (!QFile::link(m_slave, m_link))
        qFatal("cannot register COM%d", m_com);
}

PtyPeer::~PtyPeer()
{
    QFile::remove(m_link);
    hangUp();
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
}

void PtyPeer::send(const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            qFatal("pty write failed");
        done += n;
    }
}

QByteArray PtyPeer::receive(int max, int ms)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < max) {
        const int left = ms - int(timer.elapsed());
        if (left <= 0)
            break;
        pollfd pfd{m_master, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0)
            break;
        char buf[4096];
        const ssize_t n =
            ::read(m_master, buf, size_t(qMin<int>(int(sizeof buf), max - out.size())));
        if (n <= 0)
            break;
        out.append(buf, int(n));
    }
    return out;
}

void PtyPeer::hangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray out(size, '\0');
    quint32 x = seed ? seed : 1;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = char(x >> 24);
    }
    return out;
}

namespace {
QStringList *g_lines = nullptr;
void collect(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && g_lines)
        g_lines->append(message);
}
} // namespace

DebugCapture::DebugCapture()
{
    delete g_lines;
    g_lines = new QStringList;
    m_previous = qInstallMessageHandler(collect);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(m_previous);
    delete g_lines;
    g_lines = nullptr;
}

QStringList DebugCapture::lines() const
{
    return g_lines ? *g_lines : QStringList();
}

namespace {

int g_catchers = 0;

CaughtBox describe(const QMessageBox *box)
{
    return {box->icon(), box->windowTitle(), box->text(), box->standardButtons(),
            box->parentWidget()};
}

void dismiss(QMessageBox *box)
{
    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
}

// The message boxes on screen now.
QList<QMessageBox *> visibleBoxes()
{
    QList<QMessageBox *> out;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (box && box->isVisible())
            out.append(box);
    }
    return out;
}

} // namespace

MessageBoxCatcher::MessageBoxCatcher(QObject *parent) : QObject(parent)
{
    ++g_catchers;
    connect(&timer, &QTimer::timeout, this, &MessageBoxCatcher::poll);
    timer.start(10);
}

MessageBoxCatcher::~MessageBoxCatcher()
{
    --g_catchers;
}

bool MessageBoxCatcher::active()
{
    return g_catchers > 0;
}

void MessageBoxCatcher::poll()
{
    for (QMessageBox *box : visibleBoxes()) {
        boxes.append(describe(box));
        dismiss(box);
    }
}

void failOnUncaughtBoxes()
{
    // A box is modal: its own event loop runs this timer while it waits.
    auto *timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [] {
        if (MessageBoxCatcher::active())
            return;
        for (QMessageBox *box : visibleBoxes()) {
            const CaughtBox seen = describe(box);
            dismiss(box);
            const QByteArray what = QStringLiteral("unexpected message box \"%1\": \"%2\"")
                                        .arg(seen.title, seen.text)
                                        .toUtf8();
            QTest::qFail(what.constData(), __FILE__, __LINE__);
        }
    });
    timer->start(10);
}

} // namespace testsupport
