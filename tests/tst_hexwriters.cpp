// HEX files written by common tools load into exactly the binary they were
// made from, with the vector checksum at bytes 28..31.

#include "tests/common/hextestutil.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace hextest;

namespace {

struct Tool
{
    QString program;
    QStringList arguments;
};

// The Python that has the intelhex module; the distribution's own comes
// first, since a python3 earlier on PATH may lack it.
QString pythonWithIntelHex()
{
    QStringList candidates{QStringLiteral("/usr/bin/python3")};
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (!onPath.isEmpty())
        candidates << onPath;
    for (const QString &python : candidates) {
        QProcess p;
        p.start(python, {QStringLiteral("-c"), QStringLiteral("import intelhex")});
        if (p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return python;
    }
    return QString();
}

Tool writerCommand(const QString &writer, const QString &bin, const QString &hex, int offset,
                   const QString &python)
{
    const QString hexOffset = QStringLiteral("0x%1").arg(offset, 0, 16);
    if (writer == QLatin1String("objcopy")) {
        QStringList args{QStringLiteral("-I"), QStringLiteral("binary"), QStringLiteral("-O"),
                         QStringLiteral("ihex")};
        if (offset)
            args << QStringLiteral("--change-addresses") << hexOffset;
        return {QStringLiteral("objcopy"), args << bin << hex};
    }
    if (writer == QLatin1String("srec_cat")) {
        // srec_cat writes 32 data bytes per record unless told otherwise.
        QStringList args{bin, QStringLiteral("-binary")};
        if (offset)
            args << QStringLiteral("-offset") << hexOffset;
        return {QStringLiteral("srec_cat"), args << QStringLiteral("-o") << hex
                                                 << QStringLiteral("-intel")
                                                 << QStringLiteral("-obs=16")};
    }
    const QString script =
        QStringLiteral("import sys\n"
                       "from intelhex import IntelHex\n"
                       "ih = IntelHex()\n"
                       "ih.frombytes(open(sys.argv[1], 'rb').read(), offset=int(sys.argv[3], 0))\n"
                       "ih.tofile(sys.argv[2], format='hex')\n");
    return {python, {QStringLiteral("-c"), script, bin, hex, hexOffset}};
}

bool run(const Tool &tool, QString *error)
{
    QProcess p;
    p.start(tool.program, tool.arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("%1 failed: %2 %3")
                     .arg(tool.program, p.errorString(),
                          QString::fromLocal8Bit(p.readAllStandardError()));
        return false;
    }
    return true;
}

} // namespace

class TestHexWriters : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writerOutputLoads_data();
    void writerOutputLoads();
    void editedWriterOutput_data();
    void editedWriterOutput();
    void longRecordsOfAWriterAreRejected();

private:
    QString python;
    QTemporaryDir dir;
    std::unique_ptr<QuorvexRemoteIOFirmwareUpdater> window;
};

void TestHexWriters::initTestCase()
{
    QVERIFY(dir.isValid());
    for (const char *tool : {"objcopy", "srec_cat"})
        QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(),
                 "objcopy (binutils) and srec_cat (srecord) are needed");
    python = pythonWithIntelHex();
    QVERIFY2(!python.isEmpty(), "a python3 with the intelhex module (python3-intelhex) is needed");
    window = std::make_unique<QuorvexRemoteIOFirmwareUpdater>();
}

void TestHexWriters::writerOutputLoads_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("offset");

    for (const char *writer : {"objcopy", "srec_cat", "intelhex"}) {
        for (int size : {1, 255, 256, 257, 1000, 65600, 131072}) {
            for (int offset : {0, 0x8000}) {
                QTest::addRow("%s %d bytes at 0x%04x", writer, size, offset)
                    << QString::fromLatin1(writer) << size << offset;
            }
        }
    }
}

void TestHexWriters::writerOutputLoads()
{
    QFETCH(QString, writer);
    QFETCH(int, size);
    QFETCH(int, offset);

    QByteArray binary(size, '\0');
    QRandomGenerator random(quint32(size * 31 + offset));
    for (char &c : binary)
        c = char(random.bounded(256));

    const QString stem = dir.filePath(QStringLiteral("%1-%2-%3").arg(writer).arg(size).arg(offset));
    const QString bin = stem + QStringLiteral(".bin");
    const QString hex = stem + QStringLiteral(".hex");
    QVERIFY(writeFile(bin, binary));
    QString error;
    QVERIFY2(run(writerCommand(writer, bin, hex, offset, python), &error), qPrintable(error));

    window->imageSize = -1;
    const LoadRun result = runLoad(*window, hex);
    QVERIFY2(result.ok, qPrintable(result.boxes.value(0).text));
    QVERIFY(result.boxes.isEmpty());
    QCOMPARE(window->imageSize, size);
    const QString diff = imageDifference(imageOf(*window), imageFromData(binary));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestHexWriters::editedWriterOutput_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<QString>("edit");

    for (const char *writer : {"objcopy", "srec_cat", "intelhex"}) {
        for (const char *edit : {"byte-order mark", "trailing blank on every line",
                                 "trailing tab on the first and last data line", "CR CR LF",
                                 "blank inside the first data line"}) {
            QTest::addRow("%s, %s", writer, edit)
                << QString::fromLatin1(writer) << QString::fromLatin1(edit);
        }
    }
}

// A writer's file as an editor saved it again loads into the same binary, or,
// with a blank inside a record, is refused at that line.
void TestHexWriters::editedWriterOutput()
{
    QFETCH(QString, writer);
    QFETCH(QString, edit);

    const QByteArray binary = pattern(1000, 11);
    const QString stem = dir.filePath(QStringLiteral("edited-%1").arg(writer));
    const QString bin = stem + QStringLiteral(".bin");
    const QString hex = stem + QStringLiteral(".hex");
    QVERIFY(writeFile(bin, binary));
    QString error;
    QVERIFY2(run(writerCommand(writer, bin, hex, 0x8000, python), &error), qPrintable(error));
    QFile file(hex);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    file.close();

    QByteArray saved;
    int refusedLine = 0;
    if (edit == QLatin1String("byte-order mark")) {
        saved = editor::withByteOrderMark(text);
    } else if (edit == QLatin1String("trailing blank on every line")) {
        saved = editor::trailingOnEveryLine(text, " ");
    } else if (edit == QLatin1String("trailing tab on the first and last data line")) {
        saved = editor::trailingOnLastDataLine(editor::trailingOnFirstDataLine(text, "\t"), "\t");
    } else if (edit == QLatin1String("CR CR LF")) {
        saved = editor::withLineEnds(text, "\r\r\n");
    } else {
        saved = editor::intoDataLine(text, false, 15, " ");
        refusedLine = editor::dataLine(text.split('\n'), false) + 1;
    }
    QVERIFY(saved != text);
    QVERIFY(writeFile(hex, saved));

    window->imageSize = -1;
    const LoadRun result = runLoad(*window, hex);
    if (refusedLine > 0) {
        QVERIFY(!result.ok);
        QCOMPARE(result.boxes.size(), 1);
        QCOMPARE(result.boxes.first().text,
                 QStringLiteral("unexpected format or checksum error (line %1)").arg(refusedLine));
        QCOMPARE(window->imageSize, -1);
        return;
    }
    QVERIFY2(result.ok, qPrintable(result.boxes.value(0).text));
    QCOMPARE(window->imageSize, binary.size());
    const QString diff = imageDifference(imageOf(*window), imageFromData(binary));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

// srec_cat's own default of 32 data bytes per record gives lines the loader
// cannot take whole; they are refused, saying so, rather than skipped.
void TestHexWriters::longRecordsOfAWriterAreRejected()
{
    const QString bin = dir.filePath(QStringLiteral("long.bin"));
    const QString hex = dir.filePath(QStringLiteral("long.hex"));
    QVERIFY(writeFile(bin, pattern(1000)));
    QString error;
    QVERIFY2(run({QStringLiteral("srec_cat"),
                  {bin, QStringLiteral("-binary"), QStringLiteral("-offset"),
                   QStringLiteral("0x8000"), QStringLiteral("-o"), hex, QStringLiteral("-intel")}},
                 &error),
             qPrintable(error));

    window->imageSize = -1;
    const LoadRun result = runLoad(*window, hex);
    QVERIFY(!result.ok);
    QCOMPARE(result.boxes.size(), 1);
    QCOMPARE(result.boxes.first().title, QStringLiteral("Load hex file error"));
    QCOMPARE(result.boxes.first().text,
             QStringLiteral("Data record longer than 16 bytes (line 2)"));
    QCOMPARE(window->imageSize, -1);
}

QRIO_TEST_MAIN(TestHexWriters)
#include "tst_hexwriters.moc"
