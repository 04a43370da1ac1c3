// The controller, the video worker and the overall status wired as the main window wires them,
// against the simulated unit (each test in its own network namespace).
#include "SimRunner.h"
#include "support/LogCapture.h"

#include "app/SettingsKeys.h"
#include "discovery/LocatorSettings.h"
#include "link/OverallStatus.h"
#include "link/PylonController.h"
#include "stream/PylonWorker.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

namespace {

const QByteArray kKey = QByteArray::fromHex("0f1e2d3c4b5a69788796a5b4c3d2e1f0");

void configure(const QByteArray &key)
{
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.clear();
    if (!key.isEmpty())
        s.setValue(SettingsKeys::kNetPsk, key);
    alterLocatorEnable(s, LOC_PROXY_MDNS, false);
    alterLocatorEnable(s, LOC_DIRECT_MDNS, false);
    alterLocatorEnable(s, LOC_DNS, false);
    alterLocatorEnable(s, LOC_IP, true);
    alterExtendedPriority(s, LOC_IP, QStringLiteral("127.0.0.1"));
    s.sync();
}

// Everything the main window would own for the link, wired the same way.
struct Client {
    Client()
    {
        controller = std::make_unique<PylonController>();
        status = std::make_unique<OverallStatus>();
        worker = new PylonWorker;
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        thread.start();
        QMetaObject::invokeMethod(worker, "startWorker", Qt::QueuedConnection);

        QObject::connect(controller.get(), &PylonController::notifyUserOfState, [this](const QString &s) {
            if (notices.isEmpty() || notices.last() != s)
                notices.append(s);
        });
        QObject::connect(controller.get(), &PylonController::connected, [this](bool c) {
            if (c)
                ++connectedTrue;
        });
        QObject::connect(controller.get(), &PylonController::badCredentials,
                         [this](const QString &h) { hints.append(h); });
        QObject::connect(controller.get(), &PylonController::connected, status.get(), &OverallStatus::connectionState);
        QObject::connect(controller.get(), &PylonController::registerChanged, status.get(),
                         &OverallStatus::gotUpdatedRegister);
        QObject::connect(controller.get(), &PylonController::newLrxdBytes, status.get(), &OverallStatus::gotSerialData);
        QObject::connect(controller.get(), &PylonController::newLtxdBytes, status.get(), &OverallStatus::gotSerialData);
        QObject::connect(worker, &PylonWorker::newFrame, status.get(), [this](Frame_t *f) {
            ++frames;
            status->gotDisplayData();
            worker->buffDispose(f);
        });
        QObject::connect(status.get(), &OverallStatus::notifyChange,
                         [this](OverallStatus::Status s) { statuses.append(s); });
    }
    ~Client()
    {
        controller.reset();
        thread.quit();
        thread.wait(3000);
    }

    bool waitUntil(const std::function<bool()> &pred, int timeoutMs) { return QTest::qWaitFor(pred, timeoutMs); }
    bool waitConnected(int timeoutMs = 5000)
    {
        // The state changes one tick before the "Connected" notice.
        return waitUntil(
            [this] {
                return controller->state() == PylonController::Connected && !notices.isEmpty() &&
                       notices.last() == QStringLiteral("Connected");
            },
            timeoutMs);
    }
    // Right after a keep-alive write was acknowledged: nearly 5 s before the next one.
    bool waitJustRefreshed()
    {
        return waitUntil([this] { return controller->state() == PylonController::WaitRefreshAck; }, 7000) &&
               waitConnected(2000);
    }
    QStringList noticesFrom(const QString &first) const
    {
        const int at = notices.indexOf(first);
        return at < 0 ? QStringList() : notices.mid(at);
    }

    std::unique_ptr<PylonController> controller;
    std::unique_ptr<OverallStatus> status;
    QThread thread;
    PylonWorker *worker = nullptr;
    QStringList notices;
    QStringList hints;
    QList<OverallStatus::Status> statuses;
    int connectedTrue = 0;
    int frames = 0;
};

QStringList simArgs(const QByteArray &key, const QStringList &extra = {})
{
    return QStringList{"--key", QString::fromLatin1(key.toHex()), "--no-mdns"} + extra;
}

} // namespace

using Disturb = std::function<void(Client &, SimRunner &)>;
Q_DECLARE_METATYPE(Disturb)

class tst_ControllerSim : public QObject
{
    Q_OBJECT
private slots:
    void connectsStreamsAndKeepsAlive();
    void reconnectsByItself_data();
    void reconnectsByItself();
    void wrongKeyRemovedAndStaysIdle();
    void droppedAcks();
    void frameRateNowAndAtNextConnection();
    void injectionReachesTheUnit_data();
    void injectionReachesTheUnit();
    void overallStatus_data();
    void overallStatus();
    void disconnectedWhileFramesStillArrive();
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

using Inject = std::function<void(PylonController &)>;
Q_DECLARE_METATYPE(Inject)

void tst_ControllerSim::injectionReachesTheUnit_data()
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

void tst_ControllerSim::injectionReachesTheUnit()
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

void tst_ControllerSim::overallStatus_data()
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

void tst_ControllerSim::overallStatus()
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
    QVERIFY2(c.waitUntil([&] { return c.status->status() == expected[1]; }, 1500),
             qPrintable(OverallStatus::statusName(c.status->status())));
    c.controller->writeWord(PylonController::da_pwrk_click, 27500000);
    QVERIFY2(c.waitUntil([&] { return c.status->status() == expected[2]; }, 1500),
             qPrintable(OverallStatus::statusName(c.status->status())));
    QCOMPARE(c.statuses, expected.mid(1));
    QVERIFY(sim.count("Radio power off") == 1);
}

void tst_ControllerSim::disconnectedWhileFramesStillArrive()
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
    QElapsedTimer clock;
    clock.start();
    QVERIFY(c.waitUntil([&] { return c.status->status() == OverallStatus::Disconnected; }, 1000));
    QVERIFY2(clock.elapsed() <= 700, qPrintable(QString::number(clock.elapsed())));
    const int before = c.frames;
    QTest::qWait(1000);
    QVERIFY2(c.frames > before + 30, "the unit should still be streaming");
    QCOMPARE(c.status->status(), OverallStatus::Disconnected);
    QCOMPARE(c.statuses, QList<OverallStatus::Status>{OverallStatus::Disconnected});
}

QTEST_MAIN(tst_ControllerSim)
#include "tst_ControllerSim.moc"
