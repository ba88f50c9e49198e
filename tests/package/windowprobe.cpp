// Loaded into the installed program with LD_PRELOAD by
// scripts/test-package.sh. Once the program's event loop runs, it writes what
// the window shows of the firmware folder to the file $QRIO_PROBE_OUT: one
// line "file: <name>" per entry of the firmware box, then "text:" and the
// explanation text. It only reads the window; the program runs as shipped.

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QSaveFile>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>

namespace {

void writeWindowState()
{
    // Written whole or not at all: the test waits for the file to appear.
    QSaveFile out(qEnvironmentVariable("QRIO_PROBE_OUT"));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    QTextStream stream(&out);
    stream.setCodec("UTF-8");
    const QWidgetList widgets = QApplication::allWidgets();
    for (QWidget *widget : widgets) {
        if (auto *box = qobject_cast<QComboBox *>(widget);
            box && box->objectName() == QLatin1String("comboBox_firmware_file")) {
            for (int i = 0; i < box->count(); ++i)
                stream << "file: " << box->itemText(i) << '\n';
        }
    }
    for (QWidget *widget : widgets) {
        if (auto *text = qobject_cast<QTextEdit *>(widget);
            text && text->objectName() == QLatin1String("textEdit_explain"))
            stream << "text:\n" << text->toPlainText() << '\n';
    }
    stream.flush();
    out.commit();
}

// Runs when the application object is made; the timer fires once the event
// loop runs, after the window has filled its lists.
void startProbe()
{
    QTimer::singleShot(0, writeWindowState);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startProbe)
