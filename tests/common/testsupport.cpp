#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>

#include <cstdlib>

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
    return configDir() + QStringLiteral("/Quorvex/dosdevices");
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

MessageBoxCatcher::MessageBoxCatcher(QObject *parent) : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &MessageBoxCatcher::poll);
    timer.start(10);
}

void MessageBoxCatcher::poll()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box || !box->isVisible())
            continue;
        boxes.append({box->icon(), box->windowTitle(), box->text(), box->standardButtons(),
                      box->defaultButton(), box->parentWidget()});
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }
}

} // namespace testsupport
