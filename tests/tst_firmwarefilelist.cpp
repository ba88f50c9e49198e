// The firmware file box and the explanation text, from the "Kelvo Firmware"
// folder beside the program.
//
// This program makes and removes that folder beside its own executable, so
// it is built into a directory of its own (firmwarefilelist.cmake): no other
// test program shares the folder.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"
#include "tests/common/testsupport.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTest>
#include <QTextCodec>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

namespace {

QString folderPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/" QRIO_FIRMWARE_FOLDER);
}

QStringList items(const QComboBox *box)
{
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

} // namespace

class TestFirmwareFileList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void hexFilesOnlyByNameIgnoringCase();
    void itemTextAndData();
    void storedNameSelects_data();
    void storedNameSelects();
    void sameBaseNameTwiceLastOneWins();
    void missingFolderLeavesBothEmpty();
    void missingReadmeLeavesTextEmpty();
    void plainReadmeAsUtf8();
    void readmeWithByteOrderMark();
    void htmlReadmeShownFormatted();
    void unreadableReadme();

private:
    void makeFolder();
    void makeFile(const QString &name, const QByteArray &content = QByteArray("x\n"));
};

void TestFirmwareFileList::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral(QRIO_COMPANY));
    QCoreApplication::setApplicationName(QStringLiteral(QRIO_APP_NAME));
    // A folder from an earlier run that was killed must not leak in.
    QDir(folderPath()).removeRecursively();
}

void TestFirmwareFileList::init()
{
    QSettings().clear();
    QDir(folderPath()).removeRecursively();
}

void TestFirmwareFileList::cleanup()
{
    QVERIFY(QDir(folderPath()).removeRecursively());
}

void TestFirmwareFileList::cleanupTestCase()
{
    QDir(folderPath()).removeRecursively();
}

void TestFirmwareFileList::makeFolder()
{
    QVERIFY(QDir().mkpath(folderPath()));
}

void TestFirmwareFileList::makeFile(const QString &name, const QByteArray &content)
{
    const QString path = folderPath() + '/' + name;
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(content), qint64(content.size()));
}

void TestFirmwareFileList::hexFilesOnlyByNameIgnoringCase()
{
    makeFolder();
    makeFile("b.hex");
    makeFile("A.HEX");
    makeFile("c.txt");
    QVERIFY(QDir().mkpath(folderPath() + "/d.hex"));
    {
        QuorvexRemoteIOFirmwareUpdater w;
        QCOMPARE(items(w.ui->comboBox_firmware_file), (QStringList{"A", "b"}));
        QCOMPARE(w.ui->comboBox_firmware_file->currentIndex(), 0);
    }

    // Any mix of case in the suffix, each file once; not hidden files, not
    // other suffixes; the order ignores case (not B, C, a).
    makeFile("C.Hex");
    makeFile("B2.hEx");
    makeFile("a1.hex");
    makeFile(".hidden.hex");
    makeFile("e.hex.bak");
    makeFile("f.hexx");
    makeFile("hex");
    makeFile("sub/g.hex");
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(items(w.ui->comboBox_firmware_file), (QStringList{"A", "a1", "b", "B2", "C"}));
}

void TestFirmwareFileList::itemTextAndData()
{
    makeFolder();
    makeFile("io_v1.2.hex");
    makeFile("my firmware.hex");
    QuorvexRemoteIOFirmwareUpdater w;
    QComboBox *box = w.ui->comboBox_firmware_file;
    QCOMPARE(items(box), (QStringList{"io_v1.2", "my firmware"}));

    const QString path = box->itemData(0, Qt::UserRole).toString();
    QCOMPARE(box->itemData(0, Qt::UserRole).type(), QVariant::String);
    QVERIFY(QFileInfo(path).isAbsolute());
    QCOMPARE(path, QDir(folderPath()).absoluteFilePath("io_v1.2.hex"));
    QVERIFY(path.endsWith(QStringLiteral("/" QRIO_FIRMWARE_FOLDER "/io_v1.2.hex")));
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(box->itemData(1, Qt::UserRole).toString(),
             QDir(folderPath()).absoluteFilePath("my firmware.hex"));
    QVERIFY(box->itemIcon(0).isNull());
    QVERIFY(box->itemIcon(1).isNull());
}

void TestFirmwareFileList::storedNameSelects_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("current");
    QTest::newRow("b") << "b" << 1;
    QTest::newRow("B matches nothing") << "B" << 0;
    QTest::newRow("c") << "c" << 2;
    QTest::newRow("A") << "A" << 0;
    QTest::newRow("file name is not the base name") << "b.hex" << 0;
    QTest::newRow("surrounding space") << " b" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("absent") << QString() << 0;
}

void TestFirmwareFileList::storedNameSelects()
{
    QFETCH(QString, stored);
    QFETCH(int, current);
    makeFolder();
    makeFile("b.hex");
    makeFile("A.HEX");
    makeFile("c.hex");
    if (!stored.isNull())
        QSettings().setValue(QStringLiteral("Settings/filename"), stored);

    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(items(w.ui->comboBox_firmware_file), (QStringList{"A", "b", "c"}));
    QCOMPARE(w.ui->comboBox_firmware_file->currentIndex(), current);
}

void TestFirmwareFileList::sameBaseNameTwiceLastOneWins()
{
    makeFolder();
    makeFile("x.hex");
    makeFile("x.HEX");
    makeFile("a.hex");
    QSettings().setValue(QStringLiteral("Settings/filename"), QStringLiteral("x"));
    QuorvexRemoteIOFirmwareUpdater w;
    QComboBox *box = w.ui->comboBox_firmware_file;
    QCOMPARE(items(box), (QStringList{"a", "x", "x"}));
    QCOMPARE(box->currentIndex(), 2);
    QVERIFY(box->itemData(1).toString() != box->itemData(2).toString());
}

void TestFirmwareFileList::missingFolderLeavesBothEmpty()
{
    QVERIFY(!QFileInfo::exists(folderPath()));
    QSettings().setValue(QStringLiteral("Settings/filename"), QStringLiteral("b"));
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->comboBox_firmware_file->count(), 0);
    QCOMPARE(w.ui->comboBox_firmware_file->currentIndex(), -1);
    QVERIFY(w.ui->textEdit_explain->toPlainText().isEmpty());

    // A folder with neither HEX files nor README is no different.
    makeFolder();
    makeFile("notes.txt");
    QuorvexRemoteIOFirmwareUpdater w2;
    QCOMPARE(w2.ui->comboBox_firmware_file->count(), 0);
    QVERIFY(w2.ui->textEdit_explain->toPlainText().isEmpty());
}

void TestFirmwareFileList::missingReadmeLeavesTextEmpty()
{
    makeFolder();
    makeFile("a.hex");
    makeFile("readme.txt.bak", "not this one");
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(items(w.ui->comboBox_firmware_file), QStringList{"a"});
    QVERIFY(w.ui->textEdit_explain->toPlainText().isEmpty());
}

void TestFirmwareFileList::plainReadmeAsUtf8()
{
    makeFolder();
    makeFile("README.txt", QByteArray("Ger\xC3\xA4t f\xC3\xBCr Ventile \xE2\x80\x93 v1.2\r\n"
                                      "Use a < b and c > d.\r\n"
                                      "Second line\n"));
    // UTF-8 whatever the locale's encoding says.
    QTextCodec *localeCodec = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    QuorvexRemoteIOFirmwareUpdater w;
    QTextCodec::setCodecForLocale(localeCodec);
    QTextEdit *edit = w.ui->textEdit_explain;
    // Line ends as text; the angle brackets stay text.
    QCOMPARE(edit->toPlainText(),
             QString::fromUtf8("Ger\xC3\xA4t f\xC3\xBCr Ventile \xE2\x80\x93 v1.2\n"
                               "Use a < b and c > d.\n"
                               "Second line\n"));
    QVERIFY(edit->isReadOnly());
}

void TestFirmwareFileList::readmeWithByteOrderMark()
{
    makeFolder();
    const QString text = QString::fromUtf8("Gr\xC3\xBC\xC3\x9F"
                                           "e aus dem Werk");
    QTextCodec *utf16 = QTextCodec::codecForName("UTF-16LE");
    QVERIFY(utf16);
    const QByteArray bytes = utf16->fromUnicode(text); // starts with its byte-order mark
    QVERIFY(bytes.startsWith(QByteArray("\xFF\xFE", 2)));
    makeFile("README.txt", bytes);
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(w.ui->textEdit_explain->toPlainText(), text);
}

void TestFirmwareFileList::htmlReadmeShownFormatted()
{
    makeFolder();
    makeFile("README.txt", "<html><body><h1>Release notes</h1>"
                           "<p>Version <b>1.2</b> fixes the relay outputs.</p></body></html>\n");
    QuorvexRemoteIOFirmwareUpdater w;
    QTextEdit *edit = w.ui->textEdit_explain;
    const QString shown = edit->toPlainText();
    QVERIFY2(!shown.contains('<'), qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("Release notes")), qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("Version 1.2 fixes the relay outputs.")),
             qPrintable(shown));

    const QTextCursor bold = edit->document()->find(QStringLiteral("1.2"));
    QVERIFY(!bold.isNull());
    QCOMPARE(bold.charFormat().fontWeight(), int(QFont::Bold));
    const QTextCursor plain = edit->document()->find(QStringLiteral("fixes"));
    QVERIFY(plain.charFormat().fontWeight() != int(QFont::Bold));
    QVERIFY(edit->isReadOnly());
}

void TestFirmwareFileList::unreadableReadme()
{
    makeFolder();
    makeFile("a.hex");
    QVERIFY(QDir().mkpath(folderPath() + "/README.txt")); // a folder, not a file
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(items(w.ui->comboBox_firmware_file), QStringList{"a"});
    QVERIFY(w.ui->textEdit_explain->toPlainText().isEmpty());
}

QRIO_TEST_MAIN(TestFirmwareFileList)
#include "tst_firmwarefilelist.moc"
