// Front-panel input and the overall status against the simulated unit (each test in its own
// network namespace): what the radio sees of an input, and what the status makes of the link.
#include "SimClient.h"
#include "support/LogCapture.h"

#include <QSettings>
#include <QTest>

#include <functional>

using Inject = std::function<void(PylonController &)>;
Q_DECLARE_METATYPE(Inject)

class tst_StatusSim : public QObject
{
    Q_OBJECT
private slots:
    void injectionReachesTheUnit_data();
    void injectionReachesTheUnit();
    void overallStatus_data();
    void overallStatus();
    void disconnectedWhileFramesStillArrive();
};

void tst_StatusSim::injectionReachesTheUnit_data()
{
    QTest::addColumn<Inject>("inject");
    QTest::addColumn<QByteArray>("touchReport"); // what the radio answers on LTXD, empty for none
    QTest::addColumn<QStringList>("unitLog");

    // The radio reports a touch with Y counted from the bottom edge.
    QTest::newRow("touch at the far corner") << Inject([](PylonController &c) { c.injectTouch(QPoint(480, 272)); })
                                             << QByteArray::fromHex("fe130001e00000fd") << QStringList{};
    QTest::newRow("touch release") << Inject([](PylonController &c) { c.injectTouchRelease(); })
                                   << QByteArray::fromHex("fe1300270f270ffd") << QStringList{};
    QTest::newRow("touch off the screen")
        << Inject([](PylonController &c) { c.injectTouch(QPoint(481, 0)); }) << QByteArray() << QStringList{};
    QTest::newRow("main dial 3, 3, -1") << Inject([](PylonController &c) {
        c.spinMainDial(3);
        c.spinMainDial(3);
        c.spinMainDial(-1);
    }) << QByteArray()
                                        << QStringList{"Write 0x00000003 to db_main_dial_encoder",
                                                       "Write 0x00000006 to db_main_dial_encoder",
                                                       "Write 0x00000005 to db_main_dial_encoder"};
}

void tst_StatusSim::injectionReachesTheUnit()
{
    QFETCH(Inject, inject);
    QFETCH(QByteArray, touchReport);
    QFETCH(QStringList, unitLog);

    configure(kKey);
    SimRunner sim;
    QVERIFY(sim.start(simArgs(kKey)));
    Client c;
    QVERIFY(c.waitConnected());
    QList<QByteArray> touches;
    QObject::connect(c.controller.get(), &PylonController::newLtxdBytes, [&](const QByteArray &b) {
        if (b.startsWith(QByteArray::fromHex("fe13")))
            touches.append(b);
    });
    inject(*c.controller);
    if (!touchReport.isEmpty())
        QVERIFY(c.waitUntil([&] { return !touches.isEmpty(); }, 2000));
    for (const QString &line : unitLog)
        QVERIFY2(sim.waitFor(line, 2000), qPrintable(sim.output()));
    QTest::qWait(300);
    QCOMPARE(touches, touchReport.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{touchReport});
    QStringList dialWrites = sim.lines("to db_main_dial_encoder");
    QCOMPARE(dialWrites.size(), unitLog.size());
}

void tst_StatusSim::overallStatus_data()
{
    QTest::addColumn<int>("serialIntervalMs");
    QTest::addColumn<QList<OverallStatus::Status>>("expected");
    // Stream stopped while the radio chats on its serial lines; then the radio is switched off.
    QTest::newRow("chatty radio") << 100
                                  << QList<OverallStatus::Status>{OverallStatus::Active, OverallStatus::Sleeping,
                                                                  OverallStatus::RadioOffReady};
    // A radio that is on but silent, with the stream stopped, is not ready; switched off it is.
    QTest::newRow("silent radio") << 60000
                                  << QList<OverallStatus::Status>{OverallStatus::Active,
                                                                  OverallStatus::RadioOffNotReady,
                                                                  OverallStatus::RadioOffReady};
}

void tst_StatusSim::overallStatus()
{
    QFETCH(int, serialIntervalMs);
    QFETCH(QList<OverallStatus::Status>, expected);

    configure(kKey);
    SimRunner sim;
    QVERIFY(sim.start(simArgs(kKey, {"--serial-interval", QString::number(serialIntervalMs)})));
    Client c;
    QVERIFY(c.waitConnected());
    QVERIFY(c.waitUntil([&] { return c.status->status() == expected[0]; }, 2000));

    QVERIFY(c.waitJustRefreshed());
    c.statuses.clear();
    c.controller->writeWord(PylonController::dc_capture_control_csr, 0);
    QVERIFY2(c.waitUntil([&] { return c.status->status() == expected[1]; }, 4000),
             qPrintable(OverallStatus::statusName(c.status->status())));
    c.controller->writeWord(PylonController::da_pwrk_click, 27500000);
    QVERIFY2(c.waitUntil([&] { return c.status->status() == expected[2]; }, 4000),
             qPrintable(OverallStatus::statusName(c.status->status())));
    QCOMPARE(c.statuses, expected.mid(1));
    QVERIFY(sim.count("Radio power off") == 1);
}

void tst_StatusSim::disconnectedWhileFramesStillArrive()
{
    configure(kKey);
    SimRunner sim;
    QVERIFY(sim.start(simArgs(kKey)));
    Client c;
    QVERIFY(c.waitConnected());
    QVERIFY(c.waitUntil([&] { return c.status->status() == OverallStatus::Active; }, 2000));
    c.statuses.clear();
    // Keep the new attempt from succeeding so the link stays down while the unit keeps streaming.
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    alterExtendedPriority(s, LOC_IP, QStringLiteral("0.0.0.0"));
    c.controller->debugKillSocket();
    QVERIFY(c.waitUntil([&] { return c.status->status() == OverallStatus::Disconnected; }, 3000));
    const int before = c.frames;
    QTest::qWait(1000);
    QVERIFY2(c.frames > before + 30, "the unit should still be streaming");
    QCOMPARE(c.status->status(), OverallStatus::Disconnected);
    QCOMPARE(c.statuses, QList<OverallStatus::Status>{OverallStatus::Disconnected});
}

QTEST_MAIN(tst_StatusSim)
#include "tst_StatusSim.moc"
