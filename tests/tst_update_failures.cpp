// Whole updates that meet a fault, or what others left behind (a port
// another program holds or set up, a HEX file as an editor saved it, a reply
// an earlier exchange left on the line): each ends in its own message (or
// none), stores what it should and leaves the port free. One row per
// condition; the node answers at once. And the progress dialog as it opens.

#include "tests/common/otheruser.h"
#include "tests/common/updatefault.h"

#include <QApplication>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

class TestUpdateFailures : public QObject
{
    Q_OBJECT

private slots:
    void conditionAndItsMessage_data();
    void conditionAndItsMessage();
    void dialogAsItOpens_data();
    void dialogAsItOpens();
};

namespace {

const char *const kModeRead = "0106084001510000000000";
const char *const kBootStep1 = "01060823005101e7519c3a";
const char *const kBootStep2 = "01060823005102e7519c3a";

int sentRecords(const nodesim::NodeSim &node, std::size_t size)
{
    int n = 0;
    for (const auto &e : node.log())
        n += e.direction == nodesim::Direction::Sent && e.bytes.size() == size ? 1 : 0;
    return n;
}

// Sends a mode read on the node's port and closes it once the node has
// answered, the answer unread: what an exchange that timed out leaves.
void leaveReplyOnLine(UpdateRig &rig)
{
    const SerialLine::Handle line =
        SerialLine::open(SerialLine::devicePath(std::uint32_t(rig.node->comNumber())));
    QVERIFY(line != SerialLine::InvalidHandle);
    const QByteArray request = QByteArray::fromHex(kModeRead);
    std::uint32_t written = 0;
    const bool sent =
        SerialLine::write(line, request.constData(), std::uint32_t(request.size()), &written);
    QTRY_COMPARE(sentRecords(*rig.node, 11), 1);
    SerialLine::close(line);
    QVERIFY(sent && written == std::uint32_t(request.size()));
}

// Calls `hook` inside the update, each time its progress dialog takes a new
// value (once per block), while it lives.
class OnProgress : public QObject
{
public:
    explicit OnProgress(std::function<void()> hook) : m_hook(std::move(hook))
    {
        qApp->installEventFilter(this);
    }
    ~OnProgress() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QProgressDialog *>(watched);
        if (event->type() == QEvent::Show && dialog && dialog != m_dialog) {
            m_dialog = dialog;
            connect(dialog->findChild<QProgressBar *>(), &QProgressBar::valueChanged, this,
                    [this] { m_hook(); });
        }
        return false;
    }

private:
    std::function<void()> m_hook;
    QPointer<QProgressDialog> m_dialog;
};

// A 1000-byte firmware whose file, with a data record as its first line, an
// editor saved as `edit` makes it: the update must write the firmware's data.
UpdateFault editedFile(quint32 seed, const std::function<QByteArray(const QByteArray &)> &edit)
{
    UpdateFault row;
    row.imageSize = 1000;
    row.seed = seed;
    row.setUp = [edit](UpdateRig &rig) {
        rig.editChosenFile(
            [edit](const QByteArray &text) { return edit(hextest::editor::dataFirst(text)); });
    };
    row.icon = QMessageBox::Information;
    row.title = "Burning Firmware Successful";
    row.text = "Firmware of remote IO has beed updated.";
    row.check = [](UpdateRig &rig) { rig.checkFlash(); };
    return row;
}

} // namespace

void TestUpdateFailures::conditionAndItsMessage_data()
{
    QTest::addColumn<UpdateFault>("row");

    {
        UpdateFault row;
        row.imageSize = 100;
        row.seed = 1;
        row.setUp = [](UpdateRig &rig) {
            rig.window->ui->spinBox_nodeid->setValue(77);
            rig.window->ui->comboBox->clear();
        };
        row.noBox = true;
        row.requestCount = 0;
        row.check = [](UpdateRig &rig) {
            QCOMPARE(rig.window->nodeId, 77);
            QVERIFY(!QSettings().contains("Settings/nodeid"));
        };
        QTest::newRow("no port listed") << row;
    }
    {
        UpdateFault row;
        row.imageSize = 100;
        row.seed = 2;
        row.setUp = [](UpdateRig &) {
            QSettings().setValue("Settings/nodeid", "5");
            QSettings().setValue("Settings/com_port", "3");
            QSettings().setValue("Settings/filename", "old");
        };
        row.press = [](UpdateRig &rig) {
            QProcess holder;
            holder.start("flock", {"-o", "-x", QString::fromStdString(rig.node->slavePath()),
                                   "sleep", "30"});
            QVERIFY(holder.waitForStarted());
            QTest::qWait(300);
            rig.pressUpdate();
            holder.kill();
            holder.waitForFinished();
        };
        row.title = "Open Serial COM%1 failed";
        row.text = "Does there has other application lock the COM port?\nAnother program has the "
                   "port open (flock): error 11 (Resource temporarily unavailable).";
        row.requestCount = 0;
        row.check = [](UpdateRig &) {
            QSettings settings;
            QCOMPARE(settings.value("Settings/nodeid").toString(), QStringLiteral("5"));
            QCOMPARE(settings.value("Settings/com_port").toString(), QStringLiteral("3"));
            QCOMPARE(settings.value("Settings/filename").toString(), QStringLiteral("old"));
        };
        QTest::newRow("port held by another process") << row;
    }
    {
        // A terminal program, cat or a modem manager (none of them uses
        // flock) opening the device while the update runs is refused. Root
        // passes that refusal, so the other program runs as an ordinary
        // user.
        UpdateFault row;
        row.imageSize = 1000;
        row.seed = 7;
        auto why = std::make_shared<QString>();
        auto during = std::make_shared<int>(-2);
        auto watch = std::make_shared<std::unique_ptr<OnProgress>>();
        row.setUp = [why, during, watch](UpdateRig &rig) {
            const QString device = QString::fromStdString(rig.node->slavePath());
            const int before = testsupport::openAsOtherUser(device, why.get());
            if (before < 0)
                return;
            QCOMPARE(before, 0); // that user may use the device
            *watch = std::make_unique<OnProgress>([device, during] {
                QString unused;
                if (*during == -2)
                    *during = testsupport::openAsOtherUser(device, &unused);
            });
        };
        row.skipReason = [why] { return *why; };
        row.icon = QMessageBox::Information;
        row.title = "Burning Firmware Successful";
        row.text = "Firmware of remote IO has beed updated.";
        row.check = [during, watch](UpdateRig &rig) {
            watch->reset();
            QCOMPARE(*during, EBUSY);
            rig.checkFlash();
            // Free for anyone once the update has ended.
            QString unused;
            QCOMPARE(testsupport::openAsOtherUser(QString::fromStdString(rig.node->slavePath()),
                                                  &unused),
                     0);
        };
        QTest::newRow("second open during the update, by another user") << row;
    }
    {
        // A terminal program looked at the adapter before and left XON/XOFF
        // on (`stty ixon ixoff`). XON and XOFF bytes travel both ways: word
        // 17 of every block is sub-index 0x11, and the image's bytes.
        UpdateFault row;
        row.imageSize = 1000;
        row.seed = 8;
        auto probe = std::make_shared<int>(-1);
        auto seen = std::make_shared<termios>();
        auto sampled = std::make_shared<bool>(false);
        auto watch = std::make_shared<std::unique_ptr<OnProgress>>();
        row.setUp = [probe, seen, sampled, watch](UpdateRig &rig) {
            const QString device = QString::fromStdString(rig.node->slavePath());
            QProcess stty;
            stty.start("stty", {"-F", device, "ixon", "ixoff"});
            QVERIFY(stty.waitForFinished() && stty.exitCode() == 0);
            *probe = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
            QVERIFY(*probe >= 0);
            *watch = std::make_unique<OnProgress>(
                [probe, seen, sampled] { *sampled = tcgetattr(*probe, seen.get()) == 0; });
        };
        row.icon = QMessageBox::Information;
        row.title = "Burning Firmware Successful";
        row.text = "Firmware of remote IO has beed updated.";
        row.check = [probe, seen, sampled, watch](UpdateRig &rig) {
            watch->reset();
            ::close(*probe);
            rig.checkFlash();
            QVERIFY(rig.node->firmwareMarked());
            QVERIFY(!rig.node->bootMode());
            // What the driver was told during the update: no XON/XOFF in
            // either direction (several USB serial drivers have the chip do
            // it on IXOFF alone; a pty does not, so the flags are the proof).
            QVERIFY(*sampled);
            QCOMPARE(seen->c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
        };
        QTest::newRow("port left with XON/XOFF by a terminal program") << row;
    }
    {
        UpdateFault row;
        row.imageSize = -1;
        row.setUp = [](UpdateRig &rig) { rig.chooseFile(rig.dir.filePath("gone.hex")); };
        row.icon = QMessageBox::Warning;
        row.title = "Load hex file error";
        row.text = "File does not exist.";
        row.requestCount = 0;
        row.check = [](UpdateRig &) {
            QCOMPARE(QSettings().value("Settings/filename").toString(), QStringLiteral("gone"));
        };
        QTest::newRow("missing file") << row;
    }
    {
        UpdateFault row;
        row.imageSize = -1;
        row.setUp = [](UpdateRig &rig) {
            const QString path = rig.dir.filePath("broken.hex");
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(":10000000000102030405060708090A0B0C0D0E0F00\n"); // wrong checksum
            f.close();
            rig.chooseFile(path);
            rig.window->ui->spinBox_nodeid->setValue(33);
        };
        row.title = "Load hex file error";
        row.text = "unexpected format or checksum error (line 1)";
        row.requestCount = 0;
        row.check = [](UpdateRig &) {
            // The choices are stored before the file is read.
            QSettings settings;
            QCOMPARE(settings.value("Settings/nodeid").toString(), QStringLiteral("33"));
            QCOMPARE(settings.value("Settings/filename").toString(), QStringLiteral("broken"));
        };
        QTest::newRow("HEX format error") << row;
    }
    // HEX files as editors save them (a whole update each; the loader's
    // table has every variant).
    QTest::newRow("byte-order mark") << editedFile(11, hextest::editor::withByteOrderMark);
    QTest::newRow("trailing tab on the first data line") << editedFile(
        13, [](const QByteArray &t) { return hextest::editor::trailingOnFirstDataLine(t, "\t"); });
    QTest::newRow("trailing blank on the last data line") << editedFile(
        14, [](const QByteArray &t) { return hextest::editor::trailingOnLastDataLine(t, " "); });
    QTest::newRow("CR CR LF line ends") << editedFile(
        16, [](const QByteArray &t) { return hextest::editor::withLineEnds(t, "\r\r\n"); });
    {
        // Refused before anything goes to the node.
        UpdateFault row = editedFile(17, [](const QByteArray &t) {
            return hextest::editor::intoDataLine(t, false, 20, " ");
        });
        row.icon = QMessageBox::Critical;
        row.title = "Load hex file error";
        row.text = "unexpected format or checksum error (line 1)";
        row.requestCount = 0;
        row.check = [](UpdateRig &rig) {
            QVERIFY(rig.node->receivedRecords().empty());
            QVERIFY(rig.window->progressDialog == nullptr);
        };
        QTest::newRow("blank inside a data line") << row;
    }
    {
        UpdateFault row = editedFile(18, hextest::editor::cutAtLineEnd);
        row.icon = QMessageBox::Critical;
        row.title = "Load hex file error";
        row.text =
            "Hex file has no end-of-file record\nThe file may be incomplete: a copy that was "
            "still being written, or a download that was interrupted. Copy or download it "
            "again.";
        row.requestCount = 0;
        row.check = [](UpdateRig &rig) { QVERIFY(rig.node->receivedRecords().empty()); };
        QTest::newRow("file cut at a line end") << row;
    }
    {
        UpdateFault row;
        row.imageSize = -1;
        row.setUp = [](UpdateRig &rig) { rig.chooseFirmware(QByteArray(), "empty.hex"); };
        row.icon = QMessageBox::Warning;
        row.title = "Load hex file error";
        row.text = "Hex file contains no data.";
        row.requestCount = 0;
        row.check = [](UpdateRig &rig) {
            QVERIFY(!rig.node->firmwareMarked());
            QVERIFY(rig.window->progressDialog == nullptr);
        };
        QTest::newRow("empty image is not sent") << row;
    }
    {
        UpdateFault row;
        row.options.faults.neverBoot = true;
        row.imageSize = 500;
        row.seed = 3;
        row.title = QRIO_APP_NAME;
        row.text = "Enter Boot Mode Failed";
        row.requestCount = 4;
        row.requests = QStringList{kModeRead, kBootStep1, kBootStep2, kModeRead};
        row.notSent = QStringList{"0106082300510208"}; // no flash key
        QTest::newRow("node that never boots") << row;
    }
    {
        // Then the fault is gone: the second update shows its own progress
        // from the start, not counted on from the first.
        UpdateFault row;
        row.options.faults.corruptFlashOffset = 700;
        row.imageSize = 1000;
        row.seed = 4;
        row.title = "Burning Firmware Failed";
        row.text = "File is different";
        row.notSent = QStringList{"01060823005104",  // no firmware mark
                                  "01060823005103"}; // no user-mode command
        row.check = [](UpdateRig &rig) {
            QVERIFY(!rig.node->firmwareMarked());
            QVERIFY(rig.node->bootMode());
        };
        row.thenUpdate = true;
        QTest::newRow("read-back differs, then a good update") << row;
    }
    // A flash cell that does not take its byte, anywhere in the image: the
    // first byte, the vector checksum word, the last byte.
    for (const long offset : {0L, 30L, 999L}) {
        UpdateFault row;
        row.options.faults.corruptFlashOffset = offset;
        row.imageSize = 1000;
        row.seed = quint32(30 + offset);
        row.title = "Burning Firmware Failed";
        row.text = "File is different";
        row.notSent = QStringList{"01060823005104", "01060823005103"};
        QTest::addRow("read-back differs at byte %ld", offset) << row;
    }
    {
        // A stray byte and a reply nobody read wait on the line when Update
        // is pressed; the update starts from a clean line all the same.
        UpdateFault row;
        row.options.faults.strayByte = true;
        row.imageSize = 1000;
        row.seed = 6;
        row.setUp = leaveReplyOnLine;
        row.icon = QMessageBox::Information;
        row.title = "Burning Firmware Successful";
        row.text = "Firmware of remote IO has beed updated.";
        row.check = [](UpdateRig &rig) {
            const QStringList requests = receivedRequests(*rig.node);
            QCOMPARE(requests.mid(0, 4),
                     QStringList({kModeRead, kBootStep1, kBootStep2, kModeRead}));
            rig.checkFlash();
            QVERIFY(rig.node->firmwareMarked());
            QVERIFY(!rig.node->bootMode());
        };
        QTest::newRow("stray byte and stale reply on the line") << row;
    }
    // A live bus: the node's heartbeat once its user firmware runs (queued
    // behind its boot-up record during the 5 s pause), or other nodes'
    // heartbeats and PDOs all along.
    for (const bool others : {false, true}) {
        UpdateFault row;
        if (others) {
            row.options.bus.otherNodes = {2, 3};
            row.options.bus.otherPeriodMs = 50;
        } else {
            row.options.bus.heartbeatMs = 1000;
        }
        row.imageSize = 1000;
        row.seed = others ? 8 : 7;
        row.icon = QMessageBox::Information;
        row.title = "Burning Firmware Successful";
        row.text = "Firmware of remote IO has beed updated.";
        row.check = [](UpdateRig &rig) {
            rig.checkFlash();
            QVERIFY(rig.node->firmwareMarked());
            QVERIFY(!rig.node->bootMode());
        };
        QTest::newRow(others ? "other nodes talking every 50 ms" : "node's heartbeat every second")
            << row;
    }
}

void TestUpdateFailures::conditionAndItsMessage()
{
    QFETCH(UpdateFault, row);
    runUpdateFault(row);
}

void TestUpdateFailures::dialogAsItOpens_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("maximum");
    QTest::newRow("1000") << 1000 << 2049;
    QTest::newRow("256") << 256 << 513;
    QTest::newRow("131072") << 131072 << 262145;
}

void TestUpdateFailures::dialogAsItOpens()
{
    QFETCH(int, size);
    QFETCH(int, maximum);
    // A node that never boots ends the update with the dialog still up.
    nodesim::Options options;
    options.faults.neverBoot = true;
    UpdateRig rig(options);
    rig.chooseFirmware(testsupport::randomBytes(size, 5));
    struct Seen
    {
        int minimum = -2, maximum = -2, value = -2;
        Qt::WindowFlags flags;
        Qt::WindowModality modality = Qt::NonModal;
        QSize size;
        QString label;
        QString cancelText;
        bool visible = false;
    } seen;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        QProgressDialog *d = rig.window->progressDialog;
        if (d && d->isVisible() && !seen.visible) {
            seen = {d->minimum(),
                    d->maximum(),
                    d->value(),
                    d->windowFlags(),
                    d->windowModality(),
                    d->size(),
                    d->labelText(),
                    d->findChild<QPushButton *>()->text(),
                    true};
        }
    });
    probe.start(0);
    rig.pressUpdate();
    QVERIFY(seen.visible);
    QCOMPARE(seen.minimum, 0);
    QCOMPARE(seen.maximum, maximum);
    QCOMPARE(seen.value, 1);
    // Dialog, title, customised, close button (Qt adds the system menu the
    // close button lives in); no minimise, maximise or help button.
    QCOMPARE(int(seen.flags & 0x0A001003), 0x0A001003);
    QCOMPARE(int(seen.flags & (Qt::WindowMinMaxButtonsHint | Qt::WindowContextHelpButtonHint)), 0);
    QCOMPARE(seen.modality, Qt::WindowModal);
    // 400 x 100, grown by Qt where the dialog's contents need more height.
    QCOMPARE(seen.size.width(), 400);
    QVERIFY(seen.size.height() >= 100 && seen.size.height() < 140);
    QCOMPARE(seen.label, QStringLiteral("Burning Firmware to Remote IO..."));
    QCOMPARE(seen.cancelText, QStringLiteral("Abort"));
    QCOMPARE(rig.window->progressDialog->parentWidget(), rig.window.get());
    rig.checkIdle();
}

QRIO_TEST_MAIN(TestUpdateFailures)
#include "tst_update_failures.moc"
