// The COM port box: its items, the selection across rebuilds, and which
// events rebuild it. The device roots point at an empty temporary folder, so
// only the ports this test registers in its dosdevices folder exist.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"
#include "serial/comportdata.h"
#include "serial/serialdevicescan_posix.h"
#include "tests/common/testsupport.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QWheelEvent>

#include <memory>

using Data = QuorvexCOMLib::EnumSerialCOM::DATA;

namespace {

// Records the items of a combo box at the moment its popup is shown.
class PopupProbe : public QObject
{
public:
    explicit PopupProbe(QComboBox *box) : m_box(box) {}
    QStringList itemsAtShow;
    int shows = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            ++shows;
            itemsAtShow.clear();
            for (int i = 0; i < m_box->count(); ++i)
                itemsAtShow << m_box->itemText(i);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QComboBox *m_box;
};

} // namespace

class TestComPortList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void itemsInPortOrder();
    void tableDevicesAndNumericOrder();
    void selectionKeptAcrossRebuilds();
    void lostSelectionFallsToLowestPort();
    void emptyListHasNoCurrentItem();
    void sameNumberTwiceLastOneWins();

    void mousePressRebuilds_data();
    void mousePressRebuilds();
    void otherEventsDoNotRebuild();
    void pressesOnOtherWidgetsDoNotRebuild();
    void filterNeverConsumes();

private:
    void setPorts(const QStringList &names);
    void addPort(const QString &name);
    void removePort(const QString &name);
    static QStringList items(const QComboBox *box);

    QTemporaryDir m_devices;
};

void TestComPortList::initTestCase()
{
    QVERIFY(m_devices.isValid());
    QVERIFY(QDir().mkpath(m_devices.path() + QStringLiteral("/dev")));
    QVERIFY(QDir().mkpath(m_devices.path() + QStringLiteral("/sys")));
    PosixPorts::overrideDeviceRoots((m_devices.path() + QStringLiteral("/dev")).toStdString(),
                                    (m_devices.path() + QStringLiteral("/sys")).toStdString());
}

void TestComPortList::init()
{
    setPorts({});
    QFile::remove(m_devices.path() + QStringLiteral("/dev/ttyUSB0"));
}

void TestComPortList::setPorts(const QStringList &names)
{
    QDir dir(testsupport::dosDevicesDir());
    dir.removeRecursively();
    QVERIFY(QDir().mkpath(dir.path()));
    for (const QString &name : names)
        addPort(name);
}

void TestComPortList::addPort(const QString &name)
{
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), testsupport::dosDevicesDir() + '/' + name));
}

void TestComPortList::removePort(const QString &name)
{
    QVERIFY(QFile::remove(testsupport::dosDevicesDir() + '/' + name));
}

QStringList TestComPortList::items(const QComboBox *box)
{
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

void TestComPortList::itemsInPortOrder()
{
    setPorts({"COM12", "COM3", "COM5"});
    QuorvexRemoteIOFirmwareUpdater w;
    QComboBox *box = w.ui->comboBox;

    QCOMPARE(items(box), (QStringList{"COM 3", "COM 5", "COM 12"}));
    QCOMPARE(box->currentIndex(), 0); // lowest port after start-up (nothing stored)

    const std::uint32_t expected[] = {3, 5, 12};
    for (int i = 0; i < box->count(); ++i) {
        const QVariant data = box->itemData(i, Qt::UserRole);
        QCOMPARE(data.userType(), qMetaTypeId<Data>());
        const Data record = data.value<Data>();
        QCOMPARE(record.port, expected[i]);
        QVERIFY(record.name.empty());
        QVERIFY(box->itemIcon(i).isNull());
    }
}

void TestComPortList::tableDevicesAndNumericOrder()
{
    setPorts({"COM10", "com9", "COM0002"});
    QFile usb(m_devices.path() + QStringLiteral("/dev/ttyUSB0"));
    QVERIFY(usb.open(QIODevice::WriteOnly));
    usb.close();

    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(items(w.ui->comboBox), (QStringList{"COM 2", "COM 9", "COM 10", "COM 101"}));
}

void TestComPortList::selectionKeptAcrossRebuilds()
{
    setPorts({"COM12", "COM3", "COM5"});
    QuorvexRemoteIOFirmwareUpdater w;
    QComboBox *box = w.ui->comboBox;

    box->setCurrentIndex(1);
    w.refreshComPortList();
    QCOMPARE(items(box), (QStringList{"COM 3", "COM 5", "COM 12"}));
    QCOMPARE(box->currentText(), QStringLiteral("COM 5"));

    // Ports added below it move it down the list; it stays chosen.
    addPort("COM1");
    addPort("COM4");
    w.refreshComPortList();
    QCOMPARE(items(box), (QStringList{"COM 1", "COM 3", "COM 4", "COM 5", "COM 12"}));
    QCOMPARE(box->currentIndex(), 3);

    // The last item chosen stays chosen too.
    box->setCurrentIndex(4);
    removePort("COM1");
    w.refreshComPortList();
    QCOMPARE(box->currentText(), QStringLiteral("COM 12"));
    QCOMPARE(box->currentData().value<Data>().port, 12u);
}

void TestComPortList::lostSelectionFallsToLowestPort()
{
    setPorts({"COM12", "COM3", "COM5"});
    QuorvexRemoteIOFirmwareUpdater w;
    QComboBox *box = w.ui->comboBox;

    box->setCurrentIndex(1);
    removePort("COM5");
    w.refreshComPortList();
    QCOMPARE(items(box), (QStringList{"COM 3", "COM 12"}));
    QCOMPARE(box->currentIndex(), 0);

    box->setCurrentIndex(1);
    removePort("COM12");
    addPort("COM7");
    w.refreshComPortList();
    QCOMPARE(items(box), (QStringList{"COM 3", "COM 7"}));
    QCOMPARE(box->currentText(), QStringLiteral("COM 3"));
}

void TestComPortList::emptyListHasNoCurrentItem()
{
    QuorvexRemoteIOFirmwareUpdater w;
    QComboBox *box = w.ui->comboBox;
    QCOMPARE(box->count(), 0);
    QCOMPARE(box->currentIndex(), -1);

    setPorts({"COM3", "COM5"});
    w.refreshComPortList();
    box->setCurrentIndex(1);

    setPorts({});
    w.refreshComPortList();
    QCOMPARE(box->count(), 0);
    QCOMPARE(box->currentIndex(), -1);
    QVERIFY(!box->currentData().isValid());

    // From no current item, a port coming back is the lowest one.
    setPorts({"COM8", "COM6"});
    w.refreshComPortList();
    QCOMPARE(box->currentText(), QStringLiteral("COM 6"));
}

void TestComPortList::sameNumberTwiceLastOneWins()
{
    setPorts({"COM3", "COM5", "COM05"});
    QuorvexRemoteIOFirmwareUpdater w;
    QComboBox *box = w.ui->comboBox;
    QCOMPARE(items(box), (QStringList{"COM 3", "COM 5", "COM 5"}));

    box->setCurrentIndex(1);
    w.refreshComPortList();
    QCOMPARE(box->currentIndex(), 2);
}

void TestComPortList::mousePressRebuilds_data()
{
    QTest::addColumn<int>("buttonValue");
    QTest::newRow("left") << int(Qt::LeftButton);
    QTest::newRow("right") << int(Qt::RightButton);
    QTest::newRow("middle") << int(Qt::MiddleButton);
}

void TestComPortList::mousePressRebuilds()
{
    QFETCH(int, buttonValue);
    const auto button = static_cast<Qt::MouseButton>(buttonValue);
    setPorts({"COM12", "COM3", "COM5"});
    QuorvexRemoteIOFirmwareUpdater w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QComboBox *box = w.ui->comboBox;
    box->setCurrentIndex(1);

    PopupProbe probe(box);
    box->view()->parentWidget()->installEventFilter(&probe);

    removePort("COM12");
    addPort("COM4");
    QTest::mousePress(box, button);
    QCOMPARE(items(box), (QStringList{"COM 3", "COM 4", "COM 5"}));
    QCOMPARE(box->currentText(), QStringLiteral("COM 5"));

    if (button == Qt::LeftButton) {
        // The press went on to the box: its popup opened, on the new list.
        QVERIFY(box->view()->isVisible());
        QCOMPARE(probe.shows, 1);
        QCOMPARE(probe.itemsAtShow, (QStringList{"COM 3", "COM 4", "COM 5"}));
        box->hidePopup();
    } else {
        QTest::mouseRelease(box, button);
    }

    // Every press rebuilds again.
    addPort("COM2");
    QTest::mousePress(box, button);
    QCOMPARE(items(box), (QStringList{"COM 2", "COM 3", "COM 4", "COM 5"}));
    QCOMPARE(box->currentText(), QStringLiteral("COM 5"));
    if (button == Qt::LeftButton)
        box->hidePopup();
    else
        QTest::mouseRelease(box, button);
}

void TestComPortList::otherEventsDoNotRebuild()
{
    setPorts({"COM3", "COM5"});
    QuorvexRemoteIOFirmwareUpdater w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QComboBox *box = w.ui->comboBox;
    const QStringList before = items(box);

    addPort("COM4");
    removePort("COM5");

    const QPoint centre = box->rect().center();
    const QPoint global = box->mapToGlobal(centre);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(box, &release);
    QMouseEvent dbl(QEvent::MouseButtonDblClick, centre, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QCoreApplication::sendEvent(box, &dbl);
    QMouseEvent move(QEvent::MouseMove, centre, global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &move);
    QWheelEvent wheel(QPointF(centre), QPointF(global), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(box, &wheel);
    QFocusEvent focusIn(QEvent::FocusIn);
    QCoreApplication::sendEvent(box, &focusIn);
    QFocusEvent focusOut(QEvent::FocusOut);
    QCoreApplication::sendEvent(box, &focusOut);
    QCOMPARE(items(box), before);

    // The keys that open the popup show the list of the last rebuild.
    box->setCurrentIndex(0);
    QTest::keyClick(box, Qt::Key_F4);
    QVERIFY(box->view()->isVisible());
    QCOMPARE(items(box), before);
    box->hidePopup();
    QTest::keyClick(box, Qt::Key_Down, Qt::AltModifier);
    QCOMPARE(items(box), before);
    box->hidePopup();
    QTest::keyClick(box, Qt::Key_Space);
    QCOMPARE(items(box), before);
    box->hidePopup();
    QTest::keyPress(box, Qt::Key_A);
    QTest::keyRelease(box, Qt::Key_A);
    QCOMPARE(items(box), before);

    // A press does rebuild (the ports above did change).
    QTest::mousePress(box, Qt::RightButton);
    QTest::mouseRelease(box, Qt::RightButton);
    QCOMPARE(items(box), (QStringList{"COM 3", "COM 4"}));
}

void TestComPortList::pressesOnOtherWidgetsDoNotRebuild()
{
    setPorts({"COM3"});
    QuorvexRemoteIOFirmwareUpdater w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    addPort("COM4");

    QTest::mousePress(w.ui->comboBox_firmware_file, Qt::LeftButton);
    w.ui->comboBox_firmware_file->hidePopup();
    QTest::mouseClick(w.ui->spinBox_nodeid, Qt::LeftButton);
    QTest::mouseClick(w.ui->textEdit_explain->viewport(), Qt::LeftButton);
    QTest::mouseClick(&w, Qt::LeftButton);
    QTest::mouseClick(w.ui->label, Qt::LeftButton);
    QCOMPARE(items(w.ui->comboBox), QStringList{"COM 3"});

    // Even handed to the filter directly, a press on another object is ignored.
    QMouseEvent press(QEvent::MouseButtonPress, QPoint(1, 1), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QVERIFY(!w.eventFilter(w.ui->comboBox_firmware_file, &press));
    QVERIFY(!w.eventFilter(&w, &press));
    QCOMPARE(items(w.ui->comboBox), QStringList{"COM 3"});
}

void TestComPortList::filterNeverConsumes()
{
    setPorts({"COM3"});
    QuorvexRemoteIOFirmwareUpdater w;
    QComboBox *box = w.ui->comboBox;

    for (Qt::MouseButton button :
         {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton, Qt::BackButton}) {
        addPort(QStringLiteral("COM%1").arg(10 + box->count()));
        const int count = box->count();
        QMouseEvent press(QEvent::MouseButtonPress, QPoint(2, 2), button, button, Qt::NoModifier);
        QVERIFY(!w.eventFilter(box, &press));
        QCOMPARE(box->count(), count + 1); // and it did rebuild
        QMouseEvent release(QEvent::MouseButtonRelease, QPoint(2, 2), button, Qt::NoButton,
                            Qt::NoModifier);
        QVERIFY(!w.eventFilter(box, &release));
    }
    QKeyEvent key(QEvent::KeyPress, Qt::Key_F4, Qt::NoModifier);
    QVERIFY(!w.eventFilter(box, &key));
    QEvent show(QEvent::Show);
    QVERIFY(!w.eventFilter(box, &show));
}

QRIO_TEST_MAIN(TestComPortList)
#include "tst_comportlist.moc"
