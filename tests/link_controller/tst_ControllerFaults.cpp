// The controller against a peer that misbehaves (run in its own network namespace): every
// failure must end in Idle and a new attempt, and a refused key must not be retried.
#include "ControllerHarness.h"
#include "support/LogCapture.h"

#include <QTest>

#include <functional>

using Fault = std::function<void(ControllerHarness &)>;
Q_DECLARE_METATYPE(Fault)

class tst_ControllerFaults : public QObject
{
    Q_OBJECT
private slots:
    void recoversFromPeerFaults_data();
    void recoversFromPeerFaults();
    void acksDroppedFromTheStart();
    void wrongKeyStaysIdle();
    void frameDivisorWrittenNowAndAtNextConnection();
};

void tst_ControllerFaults::recoversFromPeerFaults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QStringList>("expectedNotices");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<int>("timeoutMs");

    const QStringList disconnect{"Error - Disconnect", "Idle", "Connecting to 127.0.0.1"};
    const QStringList ackTimeout{"Timeout waiting for Ack", "Error - Disconnect", "Idle", "Connecting to 127.0.0.1"};
    auto relayLength = [](uint32_t length) {
        return Fault([length](ControllerHarness &h) {
            Response r = Response_init_zero;
            r.which_payload = Response_relayFrameLength_tag;
            r.payload.relayFrameLength = length;
            h.unit->sendResponse(r);
        });
    };

    QTest::newRow("debug kill") << Fault([](ControllerHarness &h) { h.controller->debugKillSocket(); }) << disconnect
                                << "Error occured. Socket state: 0" << 3000;
    QTest::newRow("relay decoder lost sync")
        << Fault([](ControllerHarness &h) { h.controller->proxySignalCtrlReset(); }) << disconnect << "Error occured."
        << 3000;
    QTest::newRow("peer closes") << Fault([](ControllerHarness &h) { h.unit->dropClient(); }) << disconnect
                                 << "Error occured." << 3000;
    QTest::newRow("length byte 45") << Fault([](ControllerHarness &h) {
        h.unit->sendRaw(QByteArray("\x2d\x08\x01", 3));
    }) << disconnect << "Bad data from socket, msg_resp_buffer_write(45) > Request_size (44)"
                                    << 3000;
    QTest::newRow("length byte 200") << Fault([](ControllerHarness &h) { h.unit->sendRaw(QByteArray(1, char(200))); })
                                     << disconnect
                                     << "Bad data from socket, msg_resp_buffer_write(200) > Request_size (44)" << 3000;
    QTest::newRow("acks stop") << Fault([](ControllerHarness &h) { h.unit->acknowledge = false; }) << ackTimeout
                               << "Ack timed out, was at" << 13000;
    // A relay frame that never completes swallows the acks that follow it.
    QTest::newRow("relay frame never completes")
        << relayLength(60000) << ackTimeout << "Ack timed out, was at" << 13000;
    QTest::newRow("absurd relay frame length")
        << relayLength(0xFFFFFFFFu) << QStringList{"Idle", "Connecting to 127.0.0.1"} << QString() << 13000;
}

void tst_ControllerFaults::recoversFromPeerFaults()
{
    QFETCH(Fault, fault);
    QFETCH(QStringList, expectedNotices);
    QFETCH(QString, expectedLog);
    QFETCH(int, timeoutMs);

    ControllerHarness h;
    QVERIFY(h.listening);
    QVERIFY(h.waitConnected());
    LogCapture log;
    fault(h);
    QVERIFY2(FakeUnit::waitUntil([&] { return h.unit->connections() >= 2; }, timeoutMs),
             qPrintable(h.notices.join('|')));
    QCOMPARE(h.noticesFrom(expectedNotices.first()).mid(0, expectedNotices.size()), expectedNotices);
    if (!expectedLog.isEmpty())
        QVERIFY2(log.contains(expectedLog), qPrintable(log.lines().join('\n')));

    // And the new attempt gets all the way through once the peer behaves.
    h.unit->acknowledge = true;
    QVERIFY(FakeUnit::waitUntil([&] { return h.connectedTrue == 2; }, 8000));
}

void tst_ControllerFaults::acksDroppedFromTheStart()
{
    ControllerHarness h;
    QVERIFY(h.listening);
    h.unit->acknowledge = false;
    QVERIFY(h.waitNotice("Set FPGA FPS", 3000));
    QVERIFY(h.waitNotice("Timeout waiting for Ack", 6000));
    QVERIFY(FakeUnit::waitUntil([&] { return h.unit->connections() >= 2; }, 3000));
    QCOMPARE(h.noticesFrom("Set FPGA FPS").mid(0, 5),
             (QStringList{"Set FPGA FPS", "Timeout waiting for Ack", "Error - Disconnect", "Idle",
                          "Connecting to 127.0.0.1"}));
    QCOMPARE(h.connectedTrue, 0);
    QVERIFY(!h.notices.contains("Activate FPGA Transmit"));
}

void tst_ControllerFaults::wrongKeyStaysIdle()
{
    ControllerHarness h(ControllerHarness::unitKey(), QByteArray::fromHex("ffeeddccbbaa99887766554433221100"));
    QVERIFY(h.listening);
    QVERIFY(h.waitNotice("Set FPGA FPS", 3000));
    QVERIFY(FakeUnit::waitUntil([&] { return !h.credentialHints.isEmpty(); }, 3000));
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    QVERIFY(!s.contains(SettingsKeys::kNetPsk));

    QVERIFY(h.waitNotice("Timeout waiting for Ack", 7000));
    QVERIFY(h.waitNotice("Idle", 1000));
    QTest::qWait(1500);
    QCOMPARE(h.credentialHints, QStringList{"Incorrect Key Provided."});
    QCOMPARE(h.noticesFrom("Set FPGA FPS"),
             (QStringList{"Set FPGA FPS", "Timeout waiting for Ack", "Error - Disconnect", "Idle"}));
    QCOMPARE(h.unit->connections(), 1);
    QCOMPARE(h.controller->state(), PylonController::Idle);
    QCOMPARE(h.unit->received().size(), 0);
}

void tst_ControllerFaults::frameDivisorWrittenNowAndAtNextConnection()
{
    ControllerHarness h;
    QVERIFY(h.listening);
    QVERIFY(h.waitConnected());
    h.controller->setFrameDivisor(3);
    QVERIFY(FakeUnit::waitUntil(
        [&] { return h.unit->writesTo(PylonController::dc_capture_frame_divisor_csr).size() == 2; }, 2000));
    h.controller->debugKillSocket();
    QVERIFY(FakeUnit::waitUntil([&] { return h.unit->connections() == 2; }, 3000));
    QVERIFY(h.waitConnected());

    const auto writes = h.unit->writesTo(PylonController::dc_capture_frame_divisor_csr);
    QCOMPARE(writes.size(), 3);
    QCOMPARE(writes[1].request.payload.write.data, 3u);
    QVERIFY(writes[1].request.ackRequired);
    QCOMPARE(writes[1].connection, 1);
    QCOMPARE(writes[2].request.payload.write.data, 3u);
    QCOMPARE(writes[2].connection, 2);
    // The divisor is the first thing a new connection carries.
    for (const auto &r : h.unit->received())
        if (r.connection == 2) {
            QCOMPARE(r.request.payload.write.addr, uint32_t(PylonController::dc_capture_frame_divisor_csr));
            break;
        }
}

QTEST_MAIN(tst_ControllerFaults)
#include "tst_ControllerFaults.moc"
