// The remembered node ID, COM port and firmware file name: what is stored,
// in which form, and what start-up makes of stored values, good and bad.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"
#include "serial/comportdata.h"
#include "serial/serialdevicescan_posix.h"
#include "tests/common/testsupport.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using Data = QuorvexCOMLib::EnumSerialCOM::DATA;

namespace {

const QString kNodeId = QStringLiteral("Settings/nodeid");
const QString kComPort = QStringLiteral("Settings/com_port");
const QString kFileName = QStringLiteral("Settings/filename");

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void storeIsTheIsolatedDefaultStore();
    void firstRunDefaults();
    void storedNodeId_data();
    void storedNodeId();
    void storedComPort_data();
    void storedComPort();
    void storedComPortWithNoPorts();
    void storedComPortListedTwiceLastOneWins();

    void saveStoresThreeTexts();
    void savedChoicesComeBackAtStartUp();
    void saveFileBaseName_data();
    void saveFileBaseName();
    void saveLargePortNumber();

private:
    void setPorts(const QStringList &names);

    QTemporaryDir m_devices;
};

void TestSettings::initTestCase()
{
    // The window sets the same names; set them here so the test can write the
    // store before the first window exists.
    QCoreApplication::setOrganizationName(QStringLiteral(QRIO_COMPANY));
    QCoreApplication::setApplicationName(QStringLiteral(QRIO_APP_NAME));

    // Only the ports this test registers exist.
    QVERIFY(QDir().mkpath(m_devices.path() + QStringLiteral("/dev")));
    PosixPorts::overrideDeviceRoots((m_devices.path() + QStringLiteral("/dev")).toStdString(),
                                    (m_devices.path() + QStringLiteral("/sys")).toStdString());
}

void TestSettings::init()
{
    QSettings().clear();
    setPorts({"COM12", "COM3", "COM5"});
}

void TestSettings::setPorts(const QStringList &names)
{
    QDir dir(testsupport::dosDevicesDir());
    dir.removeRecursively();
    QVERIFY(QDir().mkpath(dir.path()));
    for (const QString &name : names)
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath(name)));
}

void TestSettings::storeIsTheIsolatedDefaultStore()
{
    QuorvexRemoteIOFirmwareUpdater w;
    w.nodeId = 7;
    w.saveSettings(3, QStringLiteral("/x/fw.hex"));
    const QString file = QSettings().fileName();
    QCOMPARE(file,
             testsupport::configDir() + QStringLiteral("/" QRIO_COMPANY "/" QRIO_APP_NAME ".conf"));
    QVERIFY(QFile::exists(file));
}

void TestSettings::firstRunDefaults()
{
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->spinBox_nodeid->value(), 1);
    QCOMPARE(w.ui->comboBox->currentText(), QStringLiteral("COM 3"));
    QVERIFY(QSettings().allKeys().isEmpty()); // start-up writes nothing

    // Restoring again with nothing stored puts node 1 back.
    w.ui->spinBox_nodeid->setValue(50);
    w.ui->comboBox->setCurrentIndex(2);
    w.loadSettings();
    QCOMPARE(w.ui->spinBox_nodeid->value(), 1);
    QCOMPARE(w.ui->comboBox->currentText(), QStringLiteral("COM 12"));
}

void TestSettings::storedNodeId_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("shown");
    QTest::newRow("1") << "1" << 1;
    QTest::newRow("64") << "64" << 64;
    QTest::newRow("127") << "127" << 127;
    QTest::newRow("0") << "0" << 1;
    QTest::newRow("128") << "128" << 1;
    QTest::newRow("-5") << "-5" << 1;
    QTest::newRow("huge") << "99999999999" << 1;
    QTest::newRow("not a number") << "abc" << 1;
    QTest::newRow("number then text") << "12abc" << 1;
    QTest::newRow("fraction") << "12.5" << 1;
    QTest::newRow("empty") << "" << 1;
}

void TestSettings::storedNodeId()
{
    QFETCH(QString, stored);
    QFETCH(int, shown);
    QSettings().setValue(kNodeId, stored);

    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->spinBox_nodeid->value(), shown);

    w.ui->spinBox_nodeid->setValue(shown == 50 ? 51 : 50);
    w.loadSettings();
    QCOMPARE(w.ui->spinBox_nodeid->value(), shown);
}

void TestSettings::storedComPort_data()
{
    // Ports 3, 5 and 12 exist.
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("atStartUp");
    QTest::addColumn<QString>("reloadedFromCom12");
    QTest::newRow("5") << "5"
                       << "COM 5"
                       << "COM 5";
    QTest::newRow("12") << "12"
                        << "COM 12"
                        << "COM 12";
    QTest::newRow("3") << "3"
                       << "COM 3"
                       << "COM 3";
    QTest::newRow("05") << "05"
                        << "COM 5"
                        << "COM 5";
    QTest::newRow("absent port 4") << "4"
                                   << "COM 3"
                                   << "COM 12";
    QTest::newRow("not a number") << "abc"
                                  << "COM 3"
                                  << "COM 12";
    QTest::newRow("negative") << "-5"
                              << "COM 3"
                              << "COM 12";
    QTest::newRow("empty") << ""
                           << "COM 3"
                           << "COM 12";
    QTest::newRow("item text") << "COM 5"
                               << "COM 3"
                               << "COM 12";
}

void TestSettings::storedComPort()
{
    QFETCH(QString, stored);
    QFETCH(QString, atStartUp);
    QFETCH(QString, reloadedFromCom12);
    QSettings().setValue(kComPort, stored);

    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->comboBox->currentText(), atStartUp);

    // Without a match the box keeps whatever it had.
    w.ui->comboBox->setCurrentIndex(2);
    w.loadSettings();
    QCOMPARE(w.ui->comboBox->currentText(), reloadedFromCom12);
    QCOMPARE(w.ui->comboBox->count(), 3);
}

void TestSettings::storedComPortWithNoPorts()
{
    setPorts({});
    QSettings().setValue(kComPort, QStringLiteral("5"));
    QSettings().setValue(kNodeId, QStringLiteral("9"));
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->comboBox->currentIndex(), -1);
    QCOMPARE(w.ui->spinBox_nodeid->value(), 9);
}

void TestSettings::storedComPortListedTwiceLastOneWins()
{
    setPorts({"COM3", "COM5", "COM05", "COM7"});
    QSettings().setValue(kComPort, QStringLiteral("5"));
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->comboBox->currentIndex(), 2);
}

void TestSettings::saveStoresThreeTexts()
{
    QuorvexRemoteIOFirmwareUpdater w;
    w.nodeId = 12;
    w.saveSettings(4, QStringLiteral("/opt/tool/Kelvo Firmware/io_v1.2.hex"));

    QSettings settings;
    QCOMPARE(settings.allKeys(), (QStringList{kComPort, kFileName, kNodeId}));
    for (const QString &key : {kNodeId, kComPort, kFileName})
        QCOMPARE(settings.value(key).type(), QVariant::String);
    QCOMPARE(settings.value(kNodeId).toString(), QStringLiteral("12"));
    QCOMPARE(settings.value(kComPort).toString(), QStringLiteral("4"));
    QCOMPARE(settings.value(kFileName).toString(), QStringLiteral("io_v1.2"));

    // The file on disk says the same.
    QFile file(settings.fileName());
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.contains(QStringLiteral("[Settings]")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("\nnodeid=12\n")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("\ncom_port=4\n")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("\nfilename=io_v1.2\n")), qPrintable(text));

    // A later update replaces all three.
    w.nodeId = 127;
    w.saveSettings(5, QString());
    QCOMPARE(settings.value(kNodeId).toString(), QStringLiteral("127"));
    QCOMPARE(settings.value(kComPort).toString(), QStringLiteral("5"));
    QCOMPARE(settings.value(kFileName).toString(), QString());
    QCOMPARE(settings.value(kFileName).type(), QVariant::String);
}

void TestSettings::savedChoicesComeBackAtStartUp()
{
    setPorts({"COM3", "COM4", "COM5"});
    {
        QuorvexRemoteIOFirmwareUpdater w;
        w.nodeId = 12;
        w.saveSettings(4, QStringLiteral("/x/io_v1.2.hex"));
    }
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->spinBox_nodeid->value(), 12);
    QCOMPARE(w.ui->comboBox->currentText(), QStringLiteral("COM 4"));
    QCOMPARE(w.ui->comboBox->currentData().value<Data>().port, 4u);
}

void TestSettings::saveFileBaseName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("stored");
    QTest::newRow("last suffix only") << "/a/b/io_v1.2.hex"
                                      << "io_v1.2";
    QTest::newRow("upper-case suffix") << "/a/b/FW.HEX"
                                       << "FW";
    QTest::newRow("two suffixes") << "/a/b/archive.tar.gz"
                                  << "archive.tar";
    QTest::newRow("no suffix") << "/a/b/firmware"
                               << "firmware";
    QTest::newRow("dot in folder") << "/a.b/firmware"
                                   << "firmware";
    QTest::newRow("relative") << "dir/x.hex"
                              << "x";
    QTest::newRow("spaces") << "/Kelvo Firmware/my file.hex"
                            << "my file";
    QTest::newRow("empty path") << ""
                                << "";
}

void TestSettings::saveFileBaseName()
{
    QFETCH(QString, path);
    QFETCH(QString, stored);
    QuorvexRemoteIOFirmwareUpdater w;
    w.nodeId = 1;
    w.saveSettings(3, path);
    QCOMPARE(QSettings().value(kFileName).toString(), stored);
}

void TestSettings::saveLargePortNumber()
{
    // Port numbers are unsigned 32-bit: no sign on the way out or back in.
    setPorts({"COM3", "COM4000000000"});
    {
        QuorvexRemoteIOFirmwareUpdater w;
        w.nodeId = 2;
        w.saveSettings(4000000000u, QStringLiteral("/x/a.hex"));
        QCOMPARE(QSettings().value(kComPort).toString(), QStringLiteral("4000000000"));
    }
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->comboBox->currentText(), QStringLiteral("COM 4000000000"));
}

QRIO_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
