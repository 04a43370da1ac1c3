#include "link/OverallStatus.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {
QList<OverallStatus::Status> statuses(const QSignalSpy &spy)
{
    QList<OverallStatus::Status> out;
    for (const auto &args : spy)
        out << args.at(0).value<OverallStatus::Status>();
    return out;
}

// One poll, as the 300 ms timer triggers it; time itself only moves with the manual clock.
void poll(OverallStatus &st)
{
    QTimer *timer = st.findChild<QTimer *>();
    QVERIFY(timer);
    QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
}
} // namespace

class TestOverallStatus : public QObject
{
    Q_OBJECT
private slots:
    void firstPollAnnouncesDisconnected();
    void sequences_data();
    void sequences();
};

// On the real clock and timer: a state reaches every listener by the first 300 ms poll, and stays put.
void TestOverallStatus::firstPollAnnouncesDisconnected()
{
    LogCapture log;
    OverallStatus st;
    QSignalSpy spy(&st, &OverallStatus::notifyChange);
    const QTimer *timer = st.findChild<QTimer *>();
    QVERIFY(timer && timer->isActive());
    QCOMPARE(timer->interval(), OverallStatus::PollIntervalMs);
    QVERIFY(spy.wait(5000));
    QTest::qWait(2 * OverallStatus::PollIntervalMs);
    QCOMPARE(statuses(spy), QList<OverallStatus::Status>{OverallStatus::Disconnected});
    QCOMPARE(log.count("Calculated status changed from"), 1);
    QVERIFY(log.contains("Calculated status changed from Invalid to Disconnected"));
}

void TestOverallStatus::sequences_data()
{
    // Steps: "connect", "drop", "frame", "serial", "sense <value>" (da_host_sense), "other <value>" (another
    // register), "+<ms>" (the clock moves), "poll". Expected: the states announced, in order.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<OverallStatus::Status>>("expected");
    QTest::addColumn<QString>("logged");

    using S = OverallStatus;
    QTest::newRow("no connection: one announcement")
        << QStringList{"poll", "+300", "poll", "+5000", "frame", "serial", "poll"} << QList<S::Status>{S::Disconnected}
        << "Calculated status changed from Invalid to Disconnected";
    QTest::newRow("fresh for half a second after start")
        << QStringList{"connect", "+500", "poll", "+1", "poll"} << QList<S::Status>{S::Active, S::RadioOffNotReady}
        << "Calculated status changed from Active to RadioOffNotReady";
    QTest::newRow("frames at 30 fps keep it active")
        << QStringList{"connect", "poll", "+33", "frame", "+300", "frame", "+300", "frame", "+500", "poll"}
        << QList<S::Status>{S::Active} << "Calculated status changed from Invalid to Active";
    QTest::newRow("frames stop, serial goes on: asleep after 500 ms")
        << QStringList{"connect", "frame", "poll", "+250", "serial", "+250", "serial", "poll", "+1", "poll"}
        << QList<S::Status>{S::Active, S::Sleeping} << "Calculated status changed from Active to Sleeping";
    QTest::newRow("serial quiet for more than 500 ms")
        << QStringList{"connect", "+501", "serial", "poll", "+500", "poll", "+1", "poll"}
        << QList<S::Status>{S::Sleeping, S::RadioOffNotReady}
        << "Calculated status changed from Sleeping to RadioOffNotReady";
    QTest::newRow("host sense 1 then 0") << QStringList{"connect", "+501", "sense 1", "poll", "sense 0", "poll"}
                                         << QList<S::Status>{S::RadioOffReady, S::RadioOffNotReady}
                                         << "Calculated status changed from RadioOffReady to RadioOffNotReady";
    QTest::newRow("only bit 0 of host sense counts")
        << QStringList{"connect", "+501", "sense 4294967294", "poll", "sense 3", "poll"}
        << QList<S::Status>{S::RadioOffNotReady, S::RadioOffReady} << "";
    QTest::newRow("other register leaves host sense clear")
        << QStringList{"connect", "+501", "other 1", "poll"} << QList<S::Status>{S::RadioOffNotReady} << "";
    QTest::newRow("other register leaves host sense set")
        << QStringList{"connect", "+501", "sense 1", "other 0", "poll"} << QList<S::Status>{S::RadioOffReady} << "";
    QTest::newRow("drop while frames still arrive")
        << QStringList{"connect", "frame", "poll", "drop", "+33", "frame", "poll"}
        << QList<S::Status>{S::Active, S::Disconnected} << "Calculated status changed from Active to Disconnected";
}

void TestOverallStatus::sequences()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<OverallStatus::Status>, expected);
    QFETCH(QString, logged);

    LogCapture log;
    ManualClock clock;
    OverallStatus st(nullptr, &clock);
    QSignalSpy spy(&st, &OverallStatus::notifyChange);
    for (const QString &step : steps) {
        const QString arg = step.section(' ', 1);
        if (step == "connect" || step == "drop")
            st.connectionState(step == "connect");
        else if (step == "frame")
            st.gotDisplayData();
        else if (step == "serial")
            st.gotSerialData();
        else if (step.startsWith("sense "))
            st.gotUpdatedRegister(PylonController::da_host_sense, arg.toUInt());
        else if (step.startsWith("other "))
            st.gotUpdatedRegister(PylonController::da_firmware_version, arg.toUInt());
        else if (step.startsWith('+'))
            clock.advance(step.mid(1).toLongLong());
        else if (step == "poll")
            poll(st);
        else
            QFAIL(qPrintable("unknown step " + step));
    }
    QCOMPARE(statuses(spy), expected);
    QCOMPARE(st.status(), expected.last());
    QCOMPARE(log.count("Calculated status changed from"), expected.size());
    if (!logged.isEmpty())
        QVERIFY2(log.contains(logged), qPrintable(log.lines().join('\n')));
}

QTEST_MAIN(TestOverallStatus)
#include "tst_OverallStatus.moc"
