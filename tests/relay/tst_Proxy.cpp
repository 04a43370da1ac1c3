#include "RelayClient.h"

#include "app/SettingsKeys.h"
#include "relay/Proxy.h"
#include "support/ClientSettings.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"
#include "support/OpenSslPeer.h"
#include "support/SimProcess.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {
const QByteArray kKey = QByteArray::fromHex("5651363032302d73696d2d6b65792d31");
const QByteArray kWrongKey = QByteArray(16, 'x');
constexpr quint16 kUnitPort = 4243;
constexpr uint32_t kScratch = 0xF0000004;

// A frame record as the compressor hands it over; the relay never looks inside the data.
std::unique_ptr<CompressedFrameData> frameRecord(qint64 stamp, bool reset, int bytes)
{
    auto f = std::make_unique<CompressedFrameData>();
    *f = CompressedFrameData_init_zero;
    f->stamp = stamp;
    f->has_reset = reset;
    f->reset = reset;
    f->data.size = pb_size_t(bytes);
    for (int i = 0; i < bytes; ++i)
        f->data.bytes[i] = uint8_t(i * 7 + stamp);
    return f;
}
} // namespace

class TestProxy : public QObject
{
    Q_OBJECT

    std::unique_ptr<Proxy> startRelay(const Clock *clock = Clock::steady())
    {
        auto relay = std::make_unique<Proxy>(nullptr, clock);
        relay->setUnitPort(kUnitPort);
        connect(relay.get(), &Proxy::log, this, [this](const QString &m) { m_log << m; });
        connect(relay.get(), &Proxy::disposeCFrame, this, [](CompressedFrameData *) {});
        if (!QTest::qWaitFor([this] { return m_log.contains(QStringLiteral("Server Listen: Ready")); }, 3000))
            qWarning() << "relay not listening";
        return relay;
    }
    int logged(const QString &text) const { return m_log.filter(text).size(); }
    bool waitLogged(const QString &text, int times = 1, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return logged(text) >= times; }, ms);
    }

    QStringList m_log;

private slots:
    void init()
    {
        m_log.clear();
        ClientSettings::useSavedAddressOnly(kKey);
    }

    void noKeyStopsSetup()
    {
        ClientSettings::useSavedAddressOnly(QByteArray());
        auto relay = startRelay();
        QVERIFY(waitLogged(QStringLiteral("No Radio Access File Set, Setup Failed")));
        QTest::qWait(200);
        QCOMPARE(logged(QStringLiteral("Server Listen")), 0);
    }

    // A read goes through to the unit and is answered; each finished connection is erased, its
    // sockets and locator subscriptions gone.
    void bridgesAndFreesConnections()
    {
        SimProcess unit;
        QVERIFY(unit.start({"--control-port", QString::number(kUnitPort), "--no-mdns"}));
        auto relay = startRelay();
        const int children = relay->findChildren<QObject *>().size();
        for (int round = 0; round < 5; ++round) {
            RelayClient client(kKey);
            QVERIFY(client.waitForHandshake());
            client.send(RelayClient::read(100 + round, kScratch));
            QVERIFY(QTest::qWaitFor([&] { return client.answer(100 + round, Response_registerValue_tag); }, 5000));
            QCOMPARE(client.answer(100 + round, Response_registerValue_tag)->payload.registerValue.data, 0x12345678u);
        }
        QVERIFY(waitLogged(QStringLiteral("Teardown"), 5));
        QTRY_COMPARE(relay->connectionCount(), 0);
        QTRY_COMPARE(relay->findChildren<QObject *>().size(), children);
    }

    // The unit is silent (radio off): a request the client wrote during the handshakes must still
    // reach it.
    void silentUnitGetsTheFirstRequest()
    {
        OpenSslPeer unit;
        QVERIFY(unit.startServer(kKey.toHex(), kUnitPort));
        auto relay = startRelay();
        RelayClient client(kKey);
        client.send(RelayClient::read(7, kScratch));
        QVERIFY(waitLogged(QStringLiteral("Enabling two-way bridge traffic")));
        QVERIFY(unit.waitForOutput(encodeRequest(RelayClient::read(7, kScratch)), 2000));
    }

    // A response the unit's TLS delivers in two pieces reaches the client whole, even when a
    // frame is published between the pieces; a bad length byte from the unit closes the client.
    void framesNeverSplitResponses()
    {
        OpenSslPeer unit;
        QVERIFY(unit.startServer(kKey.toHex(), kUnitPort));
        auto relay = startRelay();
        RelayClient client(kKey);
        QVERIFY(waitLogged(QStringLiteral("Enabling two-way bridge traffic")));
        QTest::qWait(100);
        Response ack = Response_init_zero;
        ack.counter = 0x4242;
        ack.which_payload = Response_ack_tag;
        const QByteArray wire = encodeResponse(ack);
        unit.send(wire.left(2));
        QTest::qWait(200);
        auto frame = frameRecord(1, true, 300);
        relay->publishCFrame(frame.get());
        QTest::qWait(200);
        unit.send(wire.mid(2));
        QVERIFY(
            QTest::qWaitFor([&] { return client.answer(0x4242, Response_ack_tag) && !client.stamps.isEmpty(); }, 3000));
        QVERIFY(!client.misparsed);

        unit.send(QByteArray(1, char(45)) + QByteArray(45, 'g'));
        QVERIFY(QTest::qWaitFor([&] { return client.closed(); }, 3000));
        QVERIFY(!client.misparsed);
    }

    // A client that stops reading pauses its video above 1 MiB unsent (once per episode) and gets
    // a reset point once it caught up; its bridged bytes are never dropped, so above 8 MiB it is
    // closed.
    void slowClientPausedThenClosed()
    {
        OpenSslPeer unit;
        QVERIFY(unit.startServer(kKey.toHex(), kUnitPort));
        auto relay = startRelay();
        QSignalSpy resets(relay.get(), &Proxy::needStreamReset);
        RelayClient client(kKey);
        QVERIFY(waitLogged(QStringLiteral("Enabling two-way bridge traffic")));
        client.socket.setReadBufferSize(4096);
        client.reading = false;
        for (int i = 0; i < 300 && !logged(QStringLiteral("Client too slow, video paused")); ++i) {
            auto f = frameRecord(i, i == 0, 60000);
            relay->publishCFrame(f.get());
            QTest::qWait(2);
        }
        QVERIFY(waitLogged(QStringLiteral("Client too slow, video paused")));
        for (int i = 0; i < 20; ++i) {
            auto f = frameRecord(i, true, 60000);
            relay->publishCFrame(f.get());
        }
        QCOMPARE(logged(QStringLiteral("Client too slow, video paused")), 1);
        QVERIFY(resets.isEmpty());

        client.reading = true;
        client.socket.setReadBufferSize(0);
        emit client.socket.readyRead();
        QVERIFY(QTest::qWaitFor(
            [&] {
                auto f = frameRecord(100, false, 100);
                relay->publishCFrame(f.get());
                return !resets.isEmpty();
            },
            5000));
        auto point = frameRecord(101, true, 100);
        relay->publishCFrame(point.get());
        QTRY_COMPARE(client.stamps.isEmpty() ? 0 : client.stamps.last(), 101);
        QVERIFY(!client.misparsed);

        client.reading = false;
        client.socket.setReadBufferSize(4096);
        Response ack = Response_init_zero;
        ack.which_payload = Response_ack_tag;
        const QByteArray acks = encodeResponse(ack).repeated(65536);
        QElapsedTimer flooding;
        flooding.start();
        while (!logged(QStringLiteral("Client too slow, closing")) && flooding.elapsed() < 20000) {
            unit.send(acks);
            QTest::qWait(1);
        }
        QVERIFY2(waitLogged(QStringLiteral("Client too slow, closing")), qPrintable(m_log.join('\n').right(1500)));
        QTRY_COMPARE(relay->connectionCount(), 0);
    }

    void limits_data()
    {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QString>("expected");
        QTest::newRow("five from one address") << QStringList(QVector<QString>(5, QStringLiteral("127.0.0.1")).toList())
                                               << QStringLiteral("Connection from 127.0.0.1 dropped, too many "
                                                                 "unauthenticated connections");
        QStringList many;
        for (int i = 0; i < 33; ++i)
            many << QStringLiteral("127.0.1.%1").arg(i + 1);
        QTest::newRow("thirty-three in all")
            << many << QStringLiteral("Connection #0 - Dropped for a newer connection");
    }

    // Idle connections hold at most their share of slots; the oldest makes room; a quick client
    // still gets through; every silent one ends after 5 s without counting as a bad key.
    void limits()
    {
        QFETCH(QStringList, sources);
        QFETCH(QString, expected);
        ManualClock clock;
        auto relay = startRelay(&clock);
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (const QString &s : sources) {
            idle.push_back(std::make_unique<QTcpSocket>());
            idle.back()->bind(QHostAddress(s));
            idle.back()->connectToHost(QHostAddress::LocalHost, 4242);
            QTest::qWait(20);
        }
        QVERIFY(waitLogged(expected));
        QVERIFY(relay->connectionCount() <= Proxy::kMaxUnauthenticated);
        RelayClient quick(kKey, QHostAddress(QStringLiteral("127.0.0.200")));
        QVERIFY(waitLogged(QStringLiteral("Authentication OK")));
        clock.advance(Proxy::kHandshakeTimeoutMs);
        QVERIFY(waitLogged(QStringLiteral("Handshake timeout"), qMin(int(sources.size()), 32) - 1, 2000));
        QTRY_VERIFY(relay->connectionCount() <= 1);
        QCOMPARE(logged(QStringLiteral("Bad Radio Access File")), 0);
    }

    // Five wrong keys ban the address for 10 s, the sixth connection is dropped; a good key from
    // another address is still served.
    void wrongKeysBan()
    {
        auto relay = startRelay();
        for (int i = 1; i <= 5; ++i) {
            RelayClient bad(kWrongKey, QHostAddress(QStringLiteral("127.0.0.2")));
            QVERIFY(waitLogged(QStringLiteral("Bad Radio Access File."), i));
            QTRY_VERIFY(bad.closed());
        }
        QCOMPARE(logged(QStringLiteral("IP Ban Host 127.0.0.2 for 10s")), 1);
        RelayClient banned(kWrongKey, QHostAddress(QStringLiteral("127.0.0.2")));
        QVERIFY(waitLogged(QStringLiteral("Host 127.0.0.2 is banned, remaining time")));
        QTRY_VERIFY(banned.closed());
        QCOMPARE(logged(QStringLiteral("Bad Radio Access File.")), 5);
        RelayClient good(kKey);
        QVERIFY(waitLogged(QStringLiteral("Authentication OK")));
    }

    // The unit refuses the relay's key: nobody can be served, the relay stops listening.
    void unitRefusesKeyHalts()
    {
        SimProcess unit;
        QVERIFY(unit.start({"--control-port", QString::number(kUnitPort), "--no-mdns", "--key",
                            QString::fromLatin1(QByteArray(16, 'k').toHex())}));
        auto relay = startRelay();
        RelayClient client(kKey);
        QVERIFY(waitLogged(QStringLiteral("Server halted."), 1, 8000));
        for (const char *text : {"Connection #0 - VQ6020 Bad Radio Access File.",
                                 "Remote Client, Proxy Server, and VQ6020 have a mismatched RAF.",
                                 "Please import correct RAF and restart."})
            QCOMPARE(logged(QString::fromLatin1(text)), 1);
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, 4242);
        QVERIFY(!late.waitForConnected(1000));
    }
};

QTEST_MAIN(TestProxy)
#include "tst_Proxy.moc"
