// The controller against the simulated unit (each test in its own network namespace): connecting,
// keeping the stream alive, and coming back by itself after every kind of interruption.
#include "SimClient.h"
#include "support/LogCapture.h"

#include <QSettings>
#include <QTest>

#include <functional>

using Disturb = std::function<void(Client &, SimRunner &)>;
Q_DECLARE_METATYPE(Disturb)

class tst_ControllerSim : public QObject
{
    Q_OBJECT
private slots:
    void connectsStreamsAndKeepsAlive();
    void defaultSettingsFindTheUnitByMdns();
    void reconnectsByItself_data();
    void reconnectsByItself();
    void wrongKeyRemovedAndStaysIdle();
    void droppedAcks();
    void frameRateNowAndAtNextConnection();
    void dialMovesByTheTicksTurned_data();
    void dialMovesByTheTicksTurned();
};

void tst_ControllerSim::connectsStreamsAndKeepsAlive()
{
    configure(kKey);
    SimRunner sim;
    QVERIFY(sim.start(simArgs(kKey)));
    Client c;
    QVERIFY(c.waitConnected());
    QCOMPARE(c.notices,
             (QStringList{"Idle", "Connecting to 127.0.0.1", "Set FPGA FPS", "Activate FPGA Transmit", "Connected"}));
    QVERIFY(c.waitUntil([&] { return c.frames >= 30; }, 3000));

    // Activation plus two refreshes 5 s apart.
    QVERIFY2(sim.waitForCount("Write 0x20c85580 to dc_capture_control_csr", 3, 12500), qPrintable(sim.output()));
    QTest::qWait(500);
    QCOMPARE(sim.count("Write 0x20c85580 to dc_capture_control_csr"), 3);
    QCOMPARE(sim.count("Write 0x00000000 to dc_capture_frame_divisor_csr"), 1);
    QCOMPARE(sim.count("Control connection 1 from"), 1);
    QCOMPARE(sim.count("Control connection 2 from"), 0);
    QCOMPARE(c.connectedTrue, 1);
    QVERIFY(c.frames > 400); // some 11 s of 60 fps
    QCOMPARE(c.hints, QStringList());
}

// Out of the box only the two mDNS searches are on: no relay answers, the unit's host name does.
void tst_ControllerSim::defaultSettingsFindTheUnitByMdns()
{
    {
        QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        s.clear();
        s.setValue(SettingsKeys::kNetPsk, kKey);
    }
    SimRunner sim;
    QVERIFY(sim.start({"--key", QString::fromLatin1(kKey.toHex())}));
    LogCapture log;
    Client c;
    QVERIFY(c.waitConnected(5000));
    QCOMPARE(log.matching("VQ6020Locator: Lookup strategy"),
             (QStringList{"VQ6020Locator: Lookup strategy LOC_PROXY_MDNS is true [ 0 ]",
                          "VQ6020Locator: Lookup strategy LOC_DIRECT_MDNS is true [ 1 ]"}));
    QVERIFY(log.contains("VQ6020Locator: Lookup Query Found: 127.0.0.1"));
    QCOMPARE(c.notices, (QStringList{"Idle", "Locator Query Time Out", "Idle", "Connecting to 127.0.0.1",
                                     "Set FPGA FPS", "Activate FPGA Transmit", "Connected"}));
}

void tst_ControllerSim::reconnectsByItself_data()
{
    QTest::addColumn<Disturb>("disturb");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<int>("timeoutMs");

    QTest::newRow("socket killed") << Disturb([](Client &c, SimRunner &) { c.controller->debugKillSocket(); })
                                   << QStringList{"Error - Disconnect",      "Idle",
                                                  "Connecting to 127.0.0.1", "Set FPGA FPS",
                                                  "Activate FPGA Transmit",  "Connected"}
                                   << 3000;
    // The unit goes away for a second; the attempt that meets the closed port gives up after its
    // 5 s connect time-out, the one after it succeeds.
    QTest::newRow("unit restarted") << Disturb([](Client &, SimRunner &sim) {
        sim.stop();
        QTest::qWait(1000);
        QVERIFY(sim.start(simArgs(kKey)));
    }) << QStringList{"Error - Disconnect", "Idle"}
                                    << 9000;
}

void tst_ControllerSim::reconnectsByItself()
{
    QFETCH(Disturb, disturb);
    QFETCH(QStringList, notices);
    QFETCH(int, timeoutMs);

    configure(kKey);
    auto sim = std::make_unique<SimRunner>();
    QVERIFY(sim->start(simArgs(kKey)));
    Client c;
    QVERIFY(c.waitConnected());
    c.notices.clear();
    disturb(c, *sim);
    QVERIFY2(c.waitUntil([&] { return c.connectedTrue == 2; }, timeoutMs), qPrintable(c.notices.join('|')));
    QVERIFY(c.waitConnected(1000));
    QVERIFY2(c.noticesFrom(notices.first()).mid(0, notices.size()) == notices, qPrintable(c.notices.join('|')));
    const int framesBefore = c.frames;
    QVERIFY(c.waitUntil([&] { return c.frames > framesBefore + 20; }, 3000));
}

void tst_ControllerSim::wrongKeyRemovedAndStaysIdle()
{
    configure(kKey);
    SimRunner sim;
    QVERIFY(sim.start(simArgs(QByteArray::fromHex("00000000000000000000000000000001"))));
    Client c;
    QVERIFY(c.waitUntil([&] { return !c.hints.isEmpty(); }, 4000));
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    QVERIFY(!s.contains(SettingsKeys::kNetPsk));
    QVERIFY(c.waitUntil([&] { return c.notices.contains("Idle") && c.notices.indexOf("Idle", 1) > 0; }, 8000));
    QTest::qWait(2000);
    QCOMPARE(c.hints, QStringList{"Incorrect Key Provided."});
    QCOMPARE(c.noticesFrom("Set FPGA FPS"),
             (QStringList{"Set FPGA FPS", "Timeout waiting for Ack", "Error - Disconnect", "Idle"}));
    QCOMPARE(c.controller->state(), PylonController::Idle);
    QCOMPARE(sim.count("Control connection 2 from"), 0);
    QCOMPARE(c.connectedTrue, 0);
}

void tst_ControllerSim::droppedAcks()
{
    configure(kKey);
    SimRunner sim;
    QVERIFY(sim.start(simArgs(kKey, {"--drop-acks"})));
    LogCapture log;
    Client c;
    QVERIFY(c.waitUntil([&] { return c.notices.contains("Connecting to 127.0.0.1") && c.notices.count() >= 6; }, 9000));
    QCOMPARE(c.notices.mid(0, 6), (QStringList{"Idle", "Connecting to 127.0.0.1", "Set FPGA FPS",
                                               "Timeout waiting for Ack", "Error - Disconnect", "Idle"}));
    QVERIFY(log.contains("Ack timed out, was at"));
    QVERIFY(sim.waitFor("Control connection 2 from", 2000));
    QCOMPARE(c.connectedTrue, 0);
}

void tst_ControllerSim::frameRateNowAndAtNextConnection()
{
    configure(kKey);
    SimRunner sim;
    QVERIFY(sim.start(simArgs(kKey)));
    Client c;
    QVERIFY(c.waitConnected());
    c.controller->setFrameDivisor(3);
    QVERIFY(sim.waitFor("Write 0x00000003 to dc_capture_frame_divisor_csr", 1000));
    c.controller->debugKillSocket();
    QVERIFY(c.waitUntil([&] { return c.connectedTrue == 2; }, 4000));
    QCOMPARE(sim.count("Write 0x00000003 to dc_capture_frame_divisor_csr"), 2);
    // The unit now sends 15 fps: about 30 frames in 2 s rather than 120.
    QTest::qWait(500);
    const int before = c.frames;
    QTest::qWait(2000);
    const int got = c.frames - before;
    QVERIFY2(got >= 22 && got <= 38, qPrintable(QString::number(got)));
}

void tst_ControllerSim::dialMovesByTheTicksTurned_data()
{
    QTest::addColumn<QString>("before");
    // The unit reports each position back some 120 ms after its write, while the next turns are
    // already on their way.
    QTest::newRow("reports of positions already turned past") << "";
    // A restarted unit counts from 0 again; one that only lost the connection does not.
    QTest::newRow("unit restarted after earlier turns") << "restart";
    QTest::newRow("connection lost after earlier turns") << "kill";
}

// What the radio does is the difference between successive positions the unit is given, so those
// differences must be exactly the ticks the user turned, in the direction turned.
void tst_ControllerSim::dialMovesByTheTicksTurned()
{
    QFETCH(QString, before);

    configure(kKey);
    auto sim = std::make_unique<SimRunner>();
    QVERIFY(sim->start(simArgs(kKey)));
    Client c;
    QVERIFY(c.waitConnected());
    int32_t position = 0; // the unit's
    if (!before.isEmpty()) {
        c.controller->spinMainDial(40);
        QVERIFY(sim->waitFor("Write 0x00000028 to db_main_dial_encoder", 2000));
        QTest::qWait(300); // its report comes back
        if (before == "restart") {
            sim = std::make_unique<SimRunner>();
            QVERIFY(sim->start(simArgs(kKey)));
        } else {
            position = 40;
            c.controller->debugKillSocket();
        }
        QVERIFY2(c.waitUntil([&] { return c.connectedTrue == 2; }, 9000), qPrintable(c.notices.join('|')));
    }
    const int writesBefore = sim->count("to db_main_dial_encoder");

    QList<int> ticks;
    for (int i = 0; i < 12; ++i)
        ticks << 1;
    for (int i = 0; i < 6; ++i)
        ticks << -2;
    for (int t : ticks) {
        c.controller->spinMainDial(t);
        QTest::qWait(30);
    }
    QVERIFY(sim->waitForCount("to db_main_dial_encoder", writesBefore + ticks.size(), 3000));
    QList<int> turned;
    for (const QString &line : sim->lines("to db_main_dial_encoder").mid(writesBefore)) {
        const int32_t next = int32_t(line.section("Write 0x", 1).section(' ', 0, 0).toUInt(nullptr, 16));
        turned << int(next - position);
        position = next;
    }
    QCOMPARE(turned, ticks);
}

QTEST_MAIN(tst_ControllerSim)
#include "tst_ControllerSim.moc"
