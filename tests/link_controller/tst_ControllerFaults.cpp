// The controller against a peer that misbehaves (run in its own network namespace): every
// failure must end in Idle and a new attempt, and a refused key must not be retried.
#include "ControllerHarness.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"
#include "support/OpenSslPeer.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

namespace {

// A listener on the control port whose accept queue is full: the kernel drops further SYNs, so a
// connection attempt hangs as it does towards a unit that vanished behind a router.
class SilentListener
{
public:
    ~SilentListener()
    {
        qDeleteAll(m_fillers);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool start(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1; // earlier tests' connections may still linger on the port
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_fd, 0) != 0)
            return false;
        for (int i = 0; i < 4; ++i) {
            auto *s = new QTcpSocket;
            m_fillers.append(s);
            s->connectToHost(QHostAddress::LocalHost, port);
            if (!s->waitForConnected(300))
                return true; // this one hangs: the queue is full
        }
        return false;
    }

private:
    int m_fd = -1;
    QList<QTcpSocket *> m_fillers;
};

} // namespace

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
    void timeOutBoundaries_data();
    void timeOutBoundaries();
    void inputBeforeTheNewHandshakeKeepsTheKey();
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

void tst_ControllerFaults::timeOutBoundaries_data()
{
    QTest::addColumn<bool>("connecting");
    QTest::addColumn<int>("elapsedMs");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("connect at 5000 ms still waits") << true << 5000 << QString() << QString();
    QTest::newRow("connect at 5001 ms gives up") << true << 5001 << "Connect Time Out"
                                                 << "Connect timed out, was at 5001";
    QTest::newRow("ack at 5000 ms counts") << false << 5000 << "Activate FPGA Transmit"
                                           << "Got Ack for 0";
    QTest::newRow("ack at 5001 ms is too late, even if it arrived")
        << false << 5001 << "Timeout waiting for Ack"
        << "Ack timed out, was at 5001. Waiting: 5, Success 6";
}

// Time in state is read from the controller's clock, so the boundaries are exact whatever the load.
void tst_ControllerFaults::timeOutBoundaries()
{
    QFETCH(bool, connecting);
    QFETCH(int, elapsedMs);
    QFETCH(QString, notice);
    QFETCH(QString, logLine);

    ManualClock clock;
    SilentListener silent;
    std::unique_ptr<ControllerHarness> h;
    if (connecting) {
        ControllerHarness::configure(ControllerHarness::unitKey());
        QVERIFY(silent.start(PylonController::kControlPort));
        h = std::make_unique<ControllerHarness>(ControllerHarness::unitKey(), ControllerHarness::unitKey(), &clock);
        h->unit.reset(); // the silent listener holds the port
    } else {
        h = std::make_unique<ControllerHarness>(ControllerHarness::unitKey(), ControllerHarness::unitKey(), &clock);
        QVERIFY(h->listening);
        h->unit->acknowledge = false;
    }
    const auto waiting = connecting ? PylonController::Connecting : PylonController::WaitFrameRateAck;
    QVERIFY(FakeUnit::waitUntil([&] { return h->controller->state() == waiting; }, 5000));
    QVERIFY(h->waitTicks(3));
    QCOMPARE(h->controller->state(), waiting);

    LogCapture log;
    clock.advance(elapsedMs);
    if (!connecting) {
        // The acknowledgement arrives after the clock moved, before the tick that judges it.
        Response ack = Response_init_zero;
        ack.which_payload = Response_ack_tag;
        h->unit->sendResponse(ack);
    }
    QVERIFY(h->waitTicks(3));
    if (notice.isEmpty()) {
        QCOMPARE(h->controller->state(), waiting);
        QVERIFY(!h->notices.contains("Connect Time Out"));
    } else {
        QVERIFY2(h->notices.contains(notice), qPrintable(h->notices.join('|')));
        QVERIFY2(log.contains(logLine), qPrintable(log.lines().join('\n')));
    }
}

// The socket is reused for every connection. Input that arrives between TCP coming up and the new
// handshake must wait for that handshake: sent under the old session's keys it earns an alert, and
// an alert during a handshake reads as a refused key, which deletes the user's stored key.
void tst_ControllerFaults::inputBeforeTheNewHandshakeKeepsTheKey()
{
    const QByteArray key = ControllerHarness::unitKey();
    ControllerHarness::configure(key);
    OpenSslPeer server;
    QCOMPARE(server.startServer(key.toHex(), PylonController::kControlPort), PylonController::kControlPort);
    ManualClock clock;
    PylonController controller(nullptr, &clock);
    auto *socket = controller.findChild<SocketWrapper *>();
    QVERIFY(socket);
    QSignalSpy handshakes(socket, &SocketWrapper::handshakeDone);
    QSignalSpy hints(&controller, &PylonController::badCredentials);
    int connections = 0;
    connect(socket, &QAbstractSocket::stateChanged, this, [&](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::ConnectedState && ++connections == 2)
            controller.injectTouch(QPoint(10, 10));
    });

    QVERIFY(FakeUnit::waitUntil(
        [&] { return handshakes.size() == 1 && controller.state() == PylonController::WaitFrameRateAck; }, 5000));
    // s_server never acknowledges: the kill is noticed at the ack time-out, which the clock brings on.
    controller.debugKillSocket();
    clock.advance(5001);
    QVERIFY(FakeUnit::waitUntil([&] { return handshakes.size() == 2 || !hints.isEmpty(); }, 5000));
    QCOMPARE(hints.size(), 0);
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    QCOMPARE(s.value(SettingsKeys::kNetPsk).toByteArray(), key);
    // The touch is delivered, inside the new session.
    QVERIFY(server.waitForOutput(QByteArray::fromHex("fe1300000a000afd"), 3000));
}

QTEST_MAIN(tst_ControllerFaults)
#include "tst_ControllerFaults.moc"
