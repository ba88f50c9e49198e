#pragma once
// A tap on what an update says to the user and to support: while it is
// attached, every line of the message stream (debug, info, warning: the
// serial layer's reports among them) and every message box as it shows are
// handed to its sink. The stream goes on to where it went before and the
// boxes are left untouched, so a tap never changes what the user sees.
//
// One tap takes the stream at a time: one update runs at a time, and a tap
// attached while another is takes the boxes only.

#include <QObject>
#include <QString>

class MessageTap : public QObject
{
public:
    class Sink
    {
    public:
        virtual ~Sink() = default;
        // One line of the stream; a fatal one is the last before Qt ends
        // the process.
        virtual void line(QtMsgType type, const QString &text) = 0;
        // A message box showing, with its title and text.
        virtual void boxShown(const QString &title, const QString &text) = 0;
    };

    // Not attached yet; `sink` must outlive the tap's attachment.
    explicit MessageTap(Sink &sink) : m_sink(sink) {}
    // Detaches.
    ~MessageTap() override;

    MessageTap(const MessageTap &) = delete;
    MessageTap &operator=(const MessageTap &) = delete;

    // Starts handing lines and boxes to the sink. Returns at once.
    void attach();
    // Stops; the stream's handler is the one before again. Later calls do
    // nothing.
    void detach();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context,
                              const QString &message);

    Sink &m_sink;
    bool m_attached = false;
    QtMessageHandler m_previousHandler = nullptr;
};
