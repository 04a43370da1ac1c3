#include "link/OverallStatus.h"
#include "support/LogCapture.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {
QList<OverallStatus::Status> statuses(const QSignalSpy &spy)
{
    QList<OverallStatus::Status> out;
    for (const auto &args : spy)
        out << args.at(0).value<OverallStatus::Status>();
    return out;
}

// Runs the event loop for ms, calling feed every periodMs meanwhile (like a steady stream of frames or bytes).
void runFor(int ms, std::function<void()> feed = {}, int periodMs = 33)
{
    QTimer feeder;
    if (feed) {
        QObject::connect(&feeder, &QTimer::timeout, feed);
        feeder.start(periodMs);
    }
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QTest::qWait(10);
}
} // namespace

class TestOverallStatus : public QObject
{
    Q_OBJECT
private slots:
    void startsDisconnectedOnce();
    void framesAndSerial();
    void hostSense_data();
    void hostSense();
    void dropWhileFramesArrive();
};

void TestOverallStatus::startsDisconnectedOnce()
{
    LogCapture log;
    QElapsedTimer since;
    since.start();
    OverallStatus st;
    QSignalSpy spy(&st, &OverallStatus::notifyChange);
    QVERIFY(spy.wait(1000));
    const qint64 firstAfter = since.elapsed();
    QVERIFY2(firstAfter >= 250 && firstAfter <= 900, qPrintable(QString::number(firstAfter)));
    runFor(1200);
    QCOMPARE(statuses(spy), QList<OverallStatus::Status>{OverallStatus::Disconnected});
    QCOMPARE(log.count("Calculated status changed from"), 1);
    QVERIFY(log.contains("Calculated status changed from Invalid to Disconnected"));
}

void TestOverallStatus::framesAndSerial()
{
    LogCapture log;
    OverallStatus st;
    QSignalSpy spy(&st, &OverallStatus::notifyChange);
    st.connectionState(true);
    // Frames at 30 fps, and the serial lines busy all along.
    runFor(1500, [&] {
        st.gotDisplayData();
        st.gotSerialData();
    });
    QCOMPARE(statuses(spy), QList<OverallStatus::Status>{OverallStatus::Active});

    // The picture stops; the radio still talks on its serial lines, so it is asleep, not off.
    QElapsedTimer stopped;
    stopped.start();
    QSignalSpy sleeping(&st, &OverallStatus::notifyChange);
    QTimer serial;
    connect(&serial, &QTimer::timeout, &st, &OverallStatus::gotSerialData);
    serial.start(50);
    QVERIFY(sleeping.wait(1500));
    QCOMPARE(sleeping.at(0).at(0).value<OverallStatus::Status>(), OverallStatus::Sleeping);
    QVERIFY2(stopped.elapsed() > 500 && stopped.elapsed() <= 1200, qPrintable(QString::number(stopped.elapsed())));
    runFor(900);
    QCOMPARE(statuses(spy), (QList<OverallStatus::Status>{OverallStatus::Active, OverallStatus::Sleeping}));
    QVERIFY(log.contains("Calculated status changed from Active to Sleeping"));
}

void TestOverallStatus::hostSense_data()
{
    QTest::addColumn<PylonController::Register>("reg");
    QTest::addColumn<uint>("first");
    QTest::addColumn<PylonController::Register>("secondReg");
    QTest::addColumn<uint>("second");
    QTest::addColumn<QList<OverallStatus::Status>>("expected");

    using S = OverallStatus;
    const auto hs = PylonController::da_host_sense;
    QTest::newRow("host sense 1 then 0") << hs << 1u << hs << 0u
                                         << QList<S::Status>{S::RadioOffReady, S::RadioOffNotReady};
    QTest::newRow("only bit 0 counts") << hs << 0xFFFFFFFEu << hs << 3u
                                       << QList<S::Status>{S::RadioOffNotReady, S::RadioOffReady};
    QTest::newRow("other register leaves host sense clear")
        << PylonController::da_hardware_strapping << 1u << PylonController::da_flash_crc << 0xFFFFFFFFu
        << QList<S::Status>{S::RadioOffNotReady};
    QTest::newRow("other register leaves host sense set")
        << hs << 1u << PylonController::da_firmware_version << 0u << QList<S::Status>{S::RadioOffReady};
}

void TestOverallStatus::hostSense()
{
    QFETCH(PylonController::Register, reg);
    QFETCH(uint, first);
    QFETCH(PylonController::Register, secondReg);
    QFETCH(uint, second);
    QFETCH(QList<OverallStatus::Status>, expected);

    OverallStatus st;
    QSignalSpy spy(&st, &OverallStatus::notifyChange);
    st.connectionState(true);
    // Past the start-up freshness of both clocks, with no frame and no serial byte ever seen.
    runFor(520);
    st.gotUpdatedRegister(reg, first);
    runFor(700);
    st.gotUpdatedRegister(secondReg, second);
    runFor(700);
    QList<OverallStatus::Status> got = statuses(spy);
    // The first tick(s) may fall inside the start-up half second and report Active; what follows is under test.
    while (!got.isEmpty() && got.first() == OverallStatus::Active)
        got.removeFirst();
    QCOMPARE(got, expected);
}

void TestOverallStatus::dropWhileFramesArrive()
{
    OverallStatus st;
    QSignalSpy spy(&st, &OverallStatus::notifyChange);
    st.connectionState(true);
    auto frames = [&] { st.gotDisplayData(); };
    runFor(700, frames);
    QCOMPARE(st.status(), OverallStatus::Active);
    st.connectionState(false);
    QElapsedTimer dropped;
    dropped.start();
    QTimer feeder;
    connect(&feeder, &QTimer::timeout, frames);
    feeder.start(33);
    QSignalSpy after(&st, &OverallStatus::notifyChange);
    QVERIFY(after.wait(1000));
    QVERIFY2(dropped.elapsed() <= 700, qPrintable(QString::number(dropped.elapsed())));
    QCOMPARE(after.at(0).at(0).value<OverallStatus::Status>(), OverallStatus::Disconnected);
    QCOMPARE(statuses(spy), (QList<OverallStatus::Status>{OverallStatus::Active, OverallStatus::Disconnected}));
}

QTEST_MAIN(TestOverallStatus)
#include "tst_OverallStatus.moc"
