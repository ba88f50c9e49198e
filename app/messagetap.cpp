// The tap on the message stream and the boxes (messagetap.h).

#include "messagetap.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>

namespace {

// The tap that takes the stream's lines; one update runs at a time.
MessageTap *g_current = nullptr;

} // namespace

MessageTap::~MessageTap()
{
    detach();
}

void MessageTap::attach()
{
    if (m_attached)
        return;
    m_attached = true;
    if (!g_current) {
        g_current = this;
        m_previousHandler = qInstallMessageHandler(handleMessage);
    }
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
}

void MessageTap::detach()
{
    if (!m_attached)
        return;
    m_attached = false;
    if (g_current == this) {
        qInstallMessageHandler(m_previousHandler);
        g_current = nullptr;
    }
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

bool MessageTap::eventFilter(QObject *watched, QEvent *event)
{
    // Every way an update ends with a message is one of the static message
    // boxes, from whichever step failed; its Show is the single place they
    // all pass, and watching it leaves the box itself untouched.
    if (event->type() == QEvent::Show) {
        if (auto *box = qobject_cast<QMessageBox *>(watched))
            m_sink.boxShown(box->windowTitle(), box->text());
    }
    return false;
}

void MessageTap::handleMessage(QtMsgType type, const QMessageLogContext &context,
                               const QString &message)
{
    MessageTap *tap = g_current;
    if (!tap)
        return;
    // The sink takes a copy of every line; the stream goes on as before.
    tap->m_sink.line(type, message);
    if (tap->m_previousHandler)
        tap->m_previousHandler(type, context, message);
}
