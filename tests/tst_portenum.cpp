// Port enumeration: the COM name filter, the numbering into sorted records,
// and the Linux sources of COM names (dosdevices folder and /dev table).

#include "serial/comname.h"
#include "serial/serialdevicescan_posix.h"
#include "serial/enumserialcom.h"
#include "serial/serialdevicescan.h"
#include "tests/common/testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::vector<std::wstring>)
Q_DECLARE_METATYPE(std::vector<std::uint32_t>)

namespace {

using Records = std::vector<QuorvexCOMLib::EnumSerialCOM::DATA>;

// What the two layers make of a DOS device name list.
std::vector<std::uint32_t> portsFromNames(const std::vector<std::wstring> &names)
{
    std::vector<std::uint32_t> numbers;
    for (const std::wstring &name : names) {
        std::uint32_t port = 0xDEADBEEF;
        if (parseComDeviceName(name.c_str(), name.size(), &port))
            numbers.push_back(port);
    }
    std::vector<std::uint32_t> result;
    for (const auto &record : QuorvexCOMLib::EnumSerialCOM::FromPortNumbers(numbers)) {
        if (!record.name.empty())
            return {0xBAD};
        result.push_back(record.port);
    }
    return result;
}

bool makeFile(const QString &path, const QByteArray &content = QByteArray())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

bool makeLink(const QString &target, const QString &link)
{
    QDir().mkpath(QFileInfo(link).absolutePath());
    return QFile::link(target, link);
}

QStringList toStringList(const std::vector<std::wstring> &names)
{
    QStringList list;
    for (const std::wstring &n : names)
        list << QString::fromStdWString(n);
    return list;
}

bool contains(const Records &records, std::uint32_t port)
{
    return std::any_of(records.begin(), records.end(),
                       [port](const auto &r) { return r.port == port; });
}

} // namespace

class TestPortEnum : public QObject
{
    Q_OBJECT

private slots:
    // Name filter and numbering over name lists given directly.
    void nameListToPorts_data();
    void nameListToPorts();
    void filterHonoursTheGivenLength();
    void failedParseLeavesPortAlone();
    void numberingSortsAsUnsigned();

    // Linux sources under temporary roots.
    void scanOfTemporaryRoots();
    void missingDosDevicesFolderIsEmptySource();
    void devicePathForPort();
    void isolatedConfigAndDeviceRoots();
    void rootsFollowTheConfigLocation_data();
    void rootsFollowTheConfigLocation();

    // The real sources of this process (isolated dosdevices, real /dev).
    void ownDosDevicesShowUpInEnumeration();

private:
    QTemporaryDir m_tmp;
};

void TestPortEnum::nameListToPorts_data()
{
    QTest::addColumn<std::vector<std::wstring>>("names");
    QTest::addColumn<std::vector<std::uint32_t>>("ports");

    using N = std::vector<std::wstring>;
    using P = std::vector<std::uint32_t>;
    QTest::newRow("sorted numerically, LPT1 skipped")
        << N{L"COM3", L"LPT1", L"COM10", L"COM1"} << P{1, 3, 10};
    QTest::newRow("9 before 10") << N{L"COM10", L"COM9"} << P{9, 10};
    QTest::newRow("lower case") << N{L"com4"} << P{4};
    QTest::newRow("mixed case") << N{L"cOm6"} << P{6};
    QTest::newRow("leading zero") << N{L"COM03"} << P{3};
    QTest::newRow("leading zeros") << N{L"COM007"} << P{7};
    QTest::newRow("port 0") << N{L"COM0"} << P{0};
    QTest::newRow("same number twice") << N{L"COM5", L"COM2", L"COM05"} << P{2, 5, 5};
    QTest::newRow("no COM names") << N{L"LPT1", L"AUX", L"NUL", L"C:", L"PhysicalDrive0"} << P{};
    QTest::newRow("empty list") << N{} << P{};
    QTest::newRow("bare COM, COM1A, COMX skipped") << N{L"COM", L"COM1A", L"COMX", L"COM2"} << P{2};
    QTest::newRow("short names skipped") << N{L"", L"C", L"CO", L"co"} << P{};
    QTest::newRow("not at the start") << N{L"XCOM1", L" COM1", L"DCOM2"} << P{};
    QTest::newRow("sign, space, dot after COM")
        << N{L"COM-1", L"COM+1", L"COM 1", L"COM1 ", L"COM1.0"} << P{};
    QTest::newRow("non-ASCII digits skipped")
        << N{L"COM\u0663", L"COM\uFF11", L"COM1\u0663", L"\uFF23OM1"} << P{};
    QTest::newRow("largest 32-bit number") << N{L"COM4294967295"} << P{4294967295u};
    QTest::newRow("leading zeros before the largest") << N{L"COM0004294967295"} << P{4294967295u};
    QTest::newRow("one past 32 bits skipped, not wrapped to 0")
        << N{L"COM4294967296", L"COM7"} << P{7};
    QTest::newRow("2^32 + 5 skipped, not wrapped to 5") << N{L"COM4294967301"} << P{};
    QTest::newRow("ten digits too large skipped") << N{L"COM9999999999"} << P{};
    QTest::newRow("beyond 64 bits skipped") << N{L"COM99999999999999999999999999"} << P{};
    QTest::newRow("big numbers sort after small")
        << N{L"COM4294967295", L"COM2147483648", L"COM1"} << P{1, 2147483648u, 4294967295u};
}

void TestPortEnum::nameListToPorts()
{
    QFETCH(std::vector<std::wstring>, names);
    QFETCH(std::vector<std::uint32_t>, ports);
    QCOMPARE(portsFromNames(names), ports);
}

void TestPortEnum::filterHonoursTheGivenLength()
{
    // The name is a counted run of characters (Windows hands out a list of
    // NUL-terminated names; the length is the caller's).
    std::uint32_t port = 0;
    const wchar_t text[] = L"COM12xy";
    QVERIFY(parseComDeviceName(text, 5, &port));
    QCOMPARE(port, 12u);
    QVERIFY(parseComDeviceName(text, 4, &port));
    QCOMPARE(port, 1u);
    QVERIFY(!parseComDeviceName(text, 3, &port)); // bare COM
    QVERIFY(!parseComDeviceName(text, 6, &port)); // COM12x
}

void TestPortEnum::failedParseLeavesPortAlone()
{
    std::uint32_t port = 77;
    QVERIFY(!parseComDeviceName(L"COM4294967296", 13, &port));
    QCOMPARE(port, 77u);
    QVERIFY(!parseComDeviceName(L"COM1A", 5, &port));
    QCOMPARE(port, 77u);
}

void TestPortEnum::numberingSortsAsUnsigned()
{
    const Records records =
        QuorvexCOMLib::EnumSerialCOM::FromPortNumbers({0x80000000u, 12, 0xFFFFFFFFu, 3, 5, 0});
    std::vector<std::uint32_t> ports;
    for (const auto &r : records) {
        ports.push_back(r.port);
        QVERIFY(r.name.empty());
    }
    QCOMPARE(ports, (std::vector<std::uint32_t>{0, 3, 5, 12, 0x80000000u, 0xFFFFFFFFu}));
    QVERIFY(QuorvexCOMLib::EnumSerialCOM::FromPortNumbers({}).empty());
}

void TestPortEnum::scanOfTemporaryRoots()
{
    const QString base = m_tmp.path() + QStringLiteral("/scan");
    const QString dos = base + QStringLiteral("/dosdevices");
    const QString dev = base + QStringLiteral("/dev");
    const QString sys = base + QStringLiteral("/sys/class/tty");
    const QString target = base + QStringLiteral("/target");
    QVERIFY(makeFile(target));

    // dosdevices: links to existing targets, a plain file that is the device
    // itself, a dangling link, a name that is not a COM name.
    QVERIFY(makeLink(target, dos + QStringLiteral("/COM5")));
    QVERIFY(makeLink(target, dos + QStringLiteral("/com12")));
    QVERIFY(makeLink(base + QStringLiteral("/gone"), dos + QStringLiteral("/COM7")));
    QVERIFY(makeFile(dos + QStringLiteral("/COM9")));
    QVERIFY(makeLink(target, dos + QStringLiteral("/LPT1")));
    QVERIFY(makeLink(target, dos + QStringLiteral("/COM3x")));

    // /dev table.
    QVERIFY(makeFile(dev + QStringLiteral("/ttyS0")));
    QVERIFY(makeFile(sys + QStringLiteral("/ttyS0/type"), "4\n")); // UART: COM1
    QVERIFY(makeFile(dev + QStringLiteral("/ttyS1")));
    QVERIFY(makeFile(sys + QStringLiteral("/ttyS1/type"), "0\n")); // no UART
    QVERIFY(makeFile(dev + QStringLiteral("/ttyS2")));             // no type file
    QVERIFY(makeFile(sys + QStringLiteral("/ttyS3/type"), "4\n")); // UART but no device
    QVERIFY(makeFile(dev + QStringLiteral("/ttyS99")));
    QVERIFY(makeFile(sys + QStringLiteral("/ttyS99/type"), "4\n")); // COM100
    QVERIFY(makeFile(dev + QStringLiteral("/ttyS100")));
    QVERIFY(makeFile(sys + QStringLiteral("/ttyS100/type"), "4\n")); // beyond the table
    QVERIFY(makeFile(dev + QStringLiteral("/ttyUSB3")));             // COM104
    QVERIFY(makeLink(base + QStringLiteral("/gone"), dev + QStringLiteral("/ttyUSB4"))); // dangling
    QVERIFY(makeFile(dev + QStringLiteral("/ttyUSB99")));                                // COM200
    QVERIFY(makeFile(dev + QStringLiteral("/ttyUSB100"))); // beyond the table
    QVERIFY(makeFile(dev + QStringLiteral("/ttyACM0")));   // COM201
    QVERIFY(makeFile(dev + QStringLiteral("/ttyACM7")));   // COM208
    QVERIFY(makeFile(dev + QStringLiteral("/ttyAMA0")));   // not in the table
    QVERIFY(makeFile(dev + QStringLiteral("/ttyUSB05")));  // not as the table spells 5
    QVERIFY(makeFile(dev + QStringLiteral("/ttyACM")));    // no number
    QVERIFY(makeFile(dev + QStringLiteral("/ttyACM1x")));
    QVERIFY(QDir().mkpath(dev + QStringLiteral("/ttyACM9"))); // a folder still exists: COM210

    PosixPorts::Roots roots;
    roots.dosDevices = dos.toStdString();
    roots.dev = dev.toStdString();
    roots.sysClassTty = sys.toStdString();

    const std::vector<std::wstring> names = PosixPorts::dosDeviceNames(roots);
    // dosdevices first in name order (the dangling COM7 left out), then the
    // table's devices in table order.
    QCOMPARE(toStringList(names),
             (QStringList{"COM3x", "COM5", "COM9", "LPT1", "com12", "COM1", "COM100", "COM104",
                          "COM200", "COM201", "COM208", "COM210"}));
    QCOMPARE(portsFromNames(names),
             (std::vector<std::uint32_t>{1, 5, 9, 12, 100, 104, 200, 201, 208, 210}));
}

void TestPortEnum::missingDosDevicesFolderIsEmptySource()
{
    const QString base = m_tmp.path() + QStringLiteral("/nodos");
    QVERIFY(makeFile(base + QStringLiteral("/dev/ttyUSB0")));
    QVERIFY(QDir().mkpath(base + QStringLiteral("/sys")));

    PosixPorts::Roots roots;
    roots.dosDevices = (base + QStringLiteral("/no-such-folder")).toStdString();
    roots.dev = (base + QStringLiteral("/dev")).toStdString();
    roots.sysClassTty = (base + QStringLiteral("/sys")).toStdString();
    QCOMPARE(toStringList(PosixPorts::dosDeviceNames(roots)), QStringList{"COM101"});

    roots.dev = (base + QStringLiteral("/no-dev")).toStdString();
    QVERIFY(PosixPorts::dosDeviceNames(roots).empty());
}

void TestPortEnum::devicePathForPort()
{
    const QString base = m_tmp.path() + QStringLiteral("/path");
    const QString dos = base + QStringLiteral("/dosdevices");
    const QString dev = base + QStringLiteral("/dev");
    const QString sys = base + QStringLiteral("/sys");
    const QString target = base + QStringLiteral("/target");
    QVERIFY(makeFile(target));
    QVERIFY(makeFile(dev + QStringLiteral("/ttyUSB3")));
    QVERIFY(makeFile(dev + QStringLiteral("/ttyUSB4")));
    QVERIFY(makeFile(dev + QStringLiteral("/ttyS0")));
    QVERIFY(makeFile(sys + QStringLiteral("/ttyS0/type"), "4"));
    QVERIFY(makeFile(dev + QStringLiteral("/ttyS1")));
    QVERIFY(makeFile(sys + QStringLiteral("/ttyS1/type"), "0"));
    QVERIFY(makeLink(target, dos + QStringLiteral("/COM104"))); // overrides ttyUSB3
    QVERIFY(makeLink(base + QStringLiteral("/gone"), dos + QStringLiteral("/COM105"))); // dangling
    QVERIFY(makeLink(target, dos + QStringLiteral("/COM6")));
    QVERIFY(makeLink(target, dos + QStringLiteral("/COM06")));
    QVERIFY(makeLink(target, dos + QStringLiteral("/com0006")));

    PosixPorts::Roots roots;
    roots.dosDevices = dos.toStdString();
    roots.dev = dev.toStdString();
    roots.sysClassTty = sys.toStdString();

    const std::string d = dos.toStdString();
    QCOMPARE(PosixPorts::devicePathForPort(104, roots), d + "/COM104");
    // Dangling dosdevices entry: the table's device ttyUSB4 instead.
    QCOMPARE(PosixPorts::devicePathForPort(105, roots), dev.toStdString() + "/ttyUSB4");
    // Several names for 6: the first in name order.
    QCOMPARE(PosixPorts::devicePathForPort(6, roots), d + "/COM06");
    QCOMPARE(PosixPorts::devicePathForPort(1, roots), dev.toStdString() + "/ttyS0");
    QCOMPARE(PosixPorts::devicePathForPort(2, roots), std::string());   // ttyS1 has no UART
    QCOMPARE(PosixPorts::devicePathForPort(3, roots), std::string());   // nothing at all
    QCOMPARE(PosixPorts::devicePathForPort(201, roots), std::string()); // no ttyACM0

    // Without the dosdevices entry the table's device is used.
    QVERIFY(QFile::remove(dos + QStringLiteral("/COM104")));
    QCOMPARE(PosixPorts::devicePathForPort(104, roots), dev.toStdString() + "/ttyUSB3");
}

void TestPortEnum::isolatedConfigAndDeviceRoots()
{
    // This process's isolated config location (set before the application).
    QCOMPARE(QString::fromStdString(PosixPorts::defaultRoots().dosDevices),
             testsupport::dosDevicesDir());
    QCOMPARE(PosixPorts::defaultRoots().dev, std::string("/dev"));
    QCOMPARE(PosixPorts::defaultRoots().sysClassTty, std::string("/sys/class/tty"));

    // The device roots can be pointed elsewhere and back.
    PosixPorts::overrideDeviceRoots("/tmp/d", "/tmp/s");
    QCOMPARE(PosixPorts::defaultRoots().dev, std::string("/tmp/d"));
    QCOMPARE(PosixPorts::defaultRoots().sysClassTty, std::string("/tmp/s"));
    PosixPorts::overrideDeviceRoots({}, {});
    QCOMPARE(PosixPorts::defaultRoots().dev, std::string("/dev"));
}

void TestPortEnum::rootsFollowTheConfigLocation_data()
{
    QTest::addColumn<QByteArray>("xdg"); // a null array: not set
    QTest::addColumn<QString>("expected");

    const QString home = m_tmp.path() + QStringLiteral("/home/.config/" QRIO_COMPANY "/dosdevices");
    QTest::newRow("unset: ~/.config") << QByteArray() << home;
    QTest::newRow("empty: ~/.config") << QByteArray("") << home;
    QTest::newRow("relative: ignored") << QByteArray("relative/config") << home;
    QTest::newRow("absolute") << (m_tmp.path() + QStringLiteral("/elsewhere")).toLocal8Bit()
                              << m_tmp.path()
                                     + QStringLiteral("/elsewhere/" QRIO_COMPANY "/dosdevices");
}

// The tool and the simulated node find the same folder, so the tool lists
// the node's port and opens its link whatever XDG_CONFIG_HOME holds.
void TestPortEnum::rootsFollowTheConfigLocation()
{
    QFETCH(QByteArray, xdg);
    QFETCH(QString, expected);

    struct Environment
    {
        QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
        QByteArray home = qgetenv("HOME");
        ~Environment()
        {
            qputenv("XDG_CONFIG_HOME", xdg);
            qputenv("HOME", home);
        }
    } saved;
    qputenv("HOME", (m_tmp.path() + QStringLiteral("/home")).toLocal8Bit());
    if (xdg.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", xdg);

    QCOMPARE(QString::fromStdString(PosixPorts::defaultRoots().dosDevices), expected);

    nodesim::Options options;
    options.com = 0; // registered in the default folder
    nodesim::NodeSim node(options);
    QVERIFY2(node.start(), node.error().c_str());
    QCOMPARE(QFileInfo(QString::fromStdString(node.linkPath())).absolutePath(), expected);
    std::vector<std::uint32_t> ports;
    QVERIFY(SerialDeviceScan::UsingDosDeviceNames(ports));
    const auto com = std::uint32_t(node.comNumber());
    QCOMPARE(std::count(ports.begin(), ports.end(), com), std::ptrdiff_t(1));
    QCOMPARE(PosixPorts::devicePathForPort(com, PosixPorts::defaultRoots()), node.linkPath());
}

void TestPortEnum::ownDosDevicesShowUpInEnumeration()
{
    // The real /dev may add ports of its own (ttyS*, ttyUSB*): look for ours.
    const QString dos = testsupport::dosDevicesDir();
    const QString target = m_tmp.path() + QStringLiteral("/real-target");
    QVERIFY(makeFile(target));
    QVERIFY(makeLink(target, dos + QStringLiteral("/COM777")));
    QVERIFY(makeLink(QStringLiteral("/dev/null"), dos + QStringLiteral("/com778")));
    QVERIFY(makeLink(target, dos + QStringLiteral("/COM0779")));
    QVERIFY(makeLink(m_tmp.path() + QStringLiteral("/gone"), dos + QStringLiteral("/COM780")));
    QVERIFY(makeLink(target, dos + QStringLiteral("/COM781x")));

    std::vector<std::uint32_t> ports{42, 43}; // emptied before filling
    QVERIFY(SerialDeviceScan::UsingDosDeviceNames(ports));
    for (std::uint32_t own : {777u, 778u, 779u})
        QVERIFY2(std::count(ports.begin(), ports.end(), own) == 1,
                 qPrintable(QString::number(own)));
    for (std::uint32_t absent : {42u, 43u, 780u, 781u})
        QVERIFY(std::count(ports.begin(), ports.end(), absent) == 0);

    const Records records = QuorvexCOMLib::EnumSerialCOM::Enumerate();
    QVERIFY(contains(records, 777) && contains(records, 778) && contains(records, 779));
    QVERIFY(!contains(records, 780));
    QVERIFY(std::is_sorted(records.begin(), records.end(),
                           [](const auto &a, const auto &b) { return a.port < b.port; }));
    for (const auto &r : records)
        QVERIFY(r.name.empty());
    QCOMPARE(records.size(), ports.size());

    // A removed port is gone at the next call; nothing is cached.
    QVERIFY(QFile::remove(dos + QStringLiteral("/COM777")));
    QVERIFY(!contains(QuorvexCOMLib::EnumSerialCOM::Enumerate(), 777));
}

QRIO_TEST_MAIN(TestPortEnum)
#include "tst_portenum.moc"
