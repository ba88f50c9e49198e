// Updates that wait in vain, for a silent or late node or a line that takes
// no bytes: "Read timeout" with the exchange that went unanswered (or the
// user-mode failure), and the port free again at once. One row per fault;
// each waits out the line's real time-outs or the 5 s user-mode pause.

#include "tests/common/updatefault.h"

#include <QApplication>
#include <QElapsedTimer>

#include <memory>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

class TestUpdateTimeouts : public QObject
{
    Q_OBJECT

private slots:
    void waitsInVain_data();
    void waitsInVain();
};

void TestUpdateTimeouts::waitsInVain_data()
{
    QTest::addColumn<UpdateFault>("row");

    {
        // The port was closed: the next update opens it at once and
        // finishes, starting from the boot mode the node was left in.
        UpdateFault row;
        // Mode read, two boot commands, mode read, flash key, then 20 words.
        row.options.faults.silentAfterRequests = 5 + 20;
        row.imageSize = 2000;
        row.seed = 31;
        row.title = "Read timeout";
        row.text = "Index: 5102, SubIndex: 14";
        row.requestCount = 5 + 21; // nothing after the unanswered request
        row.thenUpdate = true;
        QTest::newRow("silence during the write, then a good update") << row;
    }
    {
        UpdateFault row;
        row.options.faults.neverUser = true;
        row.imageSize = 700;
        row.seed = 32;
        row.title = QRIO_APP_NAME;
        row.text = "Enter User Mode Failed";
        row.check = [](UpdateRig &rig) { QVERIFY(rig.node->firmwareMarked()); };
        QTest::newRow("node that stays in boot mode") << row;
    }
    {
        UpdateFault row;
        row.options.faults.noBootUp = true;
        row.imageSize = 700;
        row.seed = 33;
        row.title = "Read timeout";
        row.text = "Receive Guard";
        QTest::newRow("no guard record") << row;
    }
    {
        // The node answers the first mode read only after the line's read
        // time-out: its reply arrives while the port is closed and waits
        // there for the next update, which must not take it for its own.
        UpdateFault row;
        row.options.faults.latencyMs = 4500;
        row.imageSize = 1000;
        row.seed = 34;
        row.title = "Read timeout";
        row.text = "Index: 5101, SubIndex: 0";
        row.requestCount = 1;
        row.check = [](UpdateRig &rig) {
            const auto replied = [&rig] {
                for (const auto &e : rig.node->log()) {
                    if (e.direction == nodesim::Direction::Sent)
                        return true;
                }
                return false;
            };
            QTRY_VERIFY_WITH_TIMEOUT(replied(), 3000);
        };
        row.thenUpdate = true;
        QTest::newRow("late reply of a timed-out update, then a good update") << row;
    }
    {
        // The line takes no bytes (flow control held off, a stalled
        // adapter): the first request's write gives up after 4000 ms, its
        // reply's read times out after 4000 more, and the port is free for
        // the next update once the line flows again.
        UpdateFault row;
        auto slave = std::make_shared<int>(-1);
        row.setUp = [slave](UpdateRig &rig) {
            *slave = ::open(rig.node->slavePath().c_str(), O_RDWR | O_NOCTTY);
            QVERIFY(*slave >= 0);
            QCOMPARE(tcflow(*slave, TCOOFF), 0);
        };
        row.press = [](UpdateRig &rig) {
            QElapsedTimer timer;
            timer.start();
            rig.pressUpdate();
            QVERIFY2(timer.elapsed() >= 7900 && timer.elapsed() < 12000,
                     qPrintable(QString::number(timer.elapsed())));
        };
        row.imageSize = 1000;
        row.seed = 35;
        row.title = "Read timeout";
        row.text = "Index: 5101, SubIndex: 0";
        row.requestCount = 0;
        row.check = [slave](UpdateRig &) {
            QCOMPARE(tcflow(*slave, TCOON), 0);
            ::close(*slave);
        };
        row.thenUpdate = true;
        QTest::newRow("line whose output is held off, then a good update") << row;
    }
}

void TestUpdateTimeouts::waitsInVain()
{
    QFETCH(UpdateFault, row);
    runUpdateFault(row);
}

QRIO_TEST_MAIN(TestUpdateTimeouts)
#include "tst_update_timeouts.moc"
