// The TLS-PSK socket layer against OpenSSL on both ends, and against peers that
// misbehave: wrong keys, early hang-ups, failing writes and plain garbage.
#include "support/OpenSslPeer.h"
#include "link/SocketServerWrapper.h"
#include "link/SocketWrapper.h"
#include "support/LogCapture.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <sys/socket.h>

namespace {

const QByteArray kKeyHex = "8f3a71c2d4e5069b1a2b3c4d5e6f7081";
const QByteArray kOtherKeyHex = "8f3a71c2d4e5069b1a2b3c4d5e6f7082";

// Our client side as the controller drives it: TLS starts once TCP is up, every
// ready-read is drained through readDecrypted.
struct Client {
    SocketWrapper socket;
    QByteArray received;
    QByteArray key;
    QSignalSpy badCredentials{&socket, &SocketWrapper::badCredentials};
    QSignalSpy handshakeDone{&socket, &SocketWrapper::handshakeDone};
    QSignalSpy errors{&socket, &QAbstractSocket::errorOccurred};

    explicit Client(const QByteArray &keyHex) : key(QByteArray::fromHex(keyHex))
    {
        QObject::connect(&socket, &QAbstractSocket::connected, [this] {
            socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socket.tlsSetup(key, true);
        });
        QObject::connect(&socket, &QIODevice::readyRead, [this] { received += socket.readDecrypted(); });
    }
    void connectTo(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }
    bool waitForReceived(const QByteArray &needle, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return received.contains(needle); }, ms);
    }
    bool waitForUnconnected(int ms = 5000)
    {
        return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }
};

// Our server side as the relay drives it.
struct Server {
    SocketServerWrapper server;
    SocketWrapper *socket = nullptr;
    QByteArray received;
    QByteArray key;
    int badCredentials = 0;
    int handshakes = 0;

    explicit Server(const QByteArray &keyHex) : key(QByteArray::fromHex(keyHex))
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            socket = qobject_cast<SocketWrapper *>(server.nextPendingConnection());
            if (!socket)
                return;
            QObject::connect(socket, &SocketWrapper::badCredentials, [this] { ++badCredentials; });
            QObject::connect(socket, &SocketWrapper::handshakeDone, [this] { ++handshakes; });
            QObject::connect(socket, &QIODevice::readyRead, [this] { received += socket->readDecrypted(); });
            socket->tlsSetup(key, false);
        });
        server.listen(QHostAddress::LocalHost, 0);
    }
};

QByteArray pattern(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray out(size, Qt::Uninitialized);
    for (char &c : out)
        c = char(gen.bounded(256));
    return out;
}

} // namespace

class tst_LinkTls : public QObject
{
    Q_OBJECT
private slots:
    void clientAgainstOpenSslServer_data();
    void clientAgainstOpenSslServer();
    void serverAgainstOpenSslClient_data();
    void serverAgainstOpenSslClient();
    void wrongKeyIsReportedOnce_data();
    void wrongKeyIsReportedOnce();
    void silentRefusalIsBadCredentials_data();
    void silentRefusalIsBadCredentials();
    void peerClosesBeforeTls_data();
    void peerClosesBeforeTls();
    void writeFailureClosesOnce();
    void garbageEndsTheConnection_data();
    void garbageEndsTheConnection();
    void reusedSocketConnectsAgain();
};

void tst_LinkTls::clientAgainstOpenSslServer_data()
{
    QTest::addColumn<QList<QByteArray>>("requests");
    // Written as soon as TCP is up, i.e. while the handshake is still running,
    // as the controller writes the frame divisor.
    QTest::newRow("framed read of ctrl_scratch")
        << QList<QByteArray>{QByteArray::fromHex("0C08051001220608848080800F")};
    QTest::newRow("divisor write then inject, in order") << QList<QByteArray>{
        QByteArray::fromHex("0E080710011A080884B080800F1001"), QByteArray::fromHex("0A080910003204FE1E80FD")};
    QTest::newRow("40000 bytes over several records") << QList<QByteArray>{pattern(40000, 1)};
}

void tst_LinkTls::clientAgainstOpenSslServer()
{
    QFETCH(QList<QByteArray>, requests);
    LogCapture log;
    OpenSslPeer peer;
    const quint16 port = peer.startServer(kKeyHex);
    QVERIFY2(port, peer.output().constData());

    Client client(kKeyHex);
    bool writtenBeforeHandshake = true;
    QObject::connect(&client.socket, &QAbstractSocket::connected, [&] {
        for (const QByteArray &r : requests) {
            writtenBeforeHandshake = writtenBeforeHandshake && !client.socket.isHandshakeDone();
            QCOMPARE(client.socket.writeEncrypted(r), r.size());
        }
    });
    client.connectTo(port);

    QByteArray all;
    for (const QByteArray &r : requests)
        all += r;
    QVERIFY2(peer.waitForOutput(all), peer.output().right(300).toHex().constData());
    QVERIFY(writtenBeforeHandshake);
    QVERIFY(peer.output().contains("PSK-AES128-GCM-SHA256"));
    QCOMPARE(client.handshakeDone.count(), 1);
    QVERIFY(client.socket.isHandshakeDone());
    QCOMPARE(log.count(QStringLiteral("Handshake complete")), 1);

    // And the other way.
    peer.send("status from the unit\n");
    QVERIFY(client.waitForReceived("status from the unit\n"));
    QCOMPARE(client.badCredentials.count(), 0);
    // Nothing beyond the requests themselves reached the peer as plaintext.
    QCOMPARE(peer.output().count(all), 1);
}

void tst_LinkTls::serverAgainstOpenSslClient_data()
{
    QTest::addColumn<QByteArray>("fromClient");
    QTest::addColumn<QByteArray>("fromServer");
    QTest::newRow("short lines") << QByteArray("hello relay\n") << QByteArray("hello client\n");
    QTest::newRow("a relay frame worth of bytes") << QByteArray("x\n") << pattern(30000, 2);
}

void tst_LinkTls::serverAgainstOpenSslClient()
{
    QFETCH(QByteArray, fromClient);
    QFETCH(QByteArray, fromServer);
    LogCapture log;
    Server server(kKeyHex);
    QVERIFY(server.server.isListening());
    OpenSslPeer peer;
    QVERIFY(peer.startClient(kKeyHex, server.server.serverPort()));

    QVERIFY(QTest::qWaitFor([&] { return server.handshakes == 1; }, 5000));
    peer.send(fromClient);
    QVERIFY(QTest::qWaitFor([&] { return server.received == fromClient; }, 5000));
    QCOMPARE(server.socket->writeEncrypted(fromServer), fromServer.size());
    QVERIFY(peer.waitForOutput(fromServer));
    QCOMPARE(server.socket->parent(), &server.server);
    QCOMPARE(server.badCredentials, 0);
    QCOMPARE(log.count(QStringLiteral("Handshake complete")), 1);
}

void tst_LinkTls::wrongKeyIsReportedOnce_data()
{
    QTest::addColumn<bool>("weAreClient");
    QTest::newRow("client against s_server") << true;
    QTest::newRow("relay server against s_client") << false;
}

void tst_LinkTls::wrongKeyIsReportedOnce()
{
    QFETCH(bool, weAreClient);
    LogCapture log;
    OpenSslPeer peer;
    int badCredentials = 0;
    int handshakes = 0;
    std::unique_ptr<Client> client;
    std::unique_ptr<Server> server;
    SocketWrapper *ours = nullptr;
    if (weAreClient) {
        const quint16 port = peer.startServer(kOtherKeyHex);
        QVERIFY(port);
        client = std::make_unique<Client>(kKeyHex);
        client->connectTo(port);
        ours = &client->socket;
        QVERIFY(client->waitForUnconnected());
        badCredentials = client->badCredentials.count();
        handshakes = client->handshakeDone.count();
    } else {
        server = std::make_unique<Server>(kKeyHex);
        QVERIFY(peer.startClient(kOtherKeyHex, server->server.serverPort()));
        QVERIFY(QTest::qWaitFor([&] { return server->socket != nullptr; }, 5000));
        ours = server->socket;
        QVERIFY(QTest::qWaitFor([&] { return ours->state() == QAbstractSocket::UnconnectedState; }, 5000));
        badCredentials = server->badCredentials;
        handshakes = server->handshakes;
    }
    // Later events on the dead connection (the peer's close, more reads) must
    // not report the same refusal again.
    QTest::qWait(300);
    ours->readDecrypted();
    ours->writeEncrypted("late");
    if (client)
        badCredentials = client->badCredentials.count();
    else
        badCredentials = server->badCredentials;
    QCOMPARE(badCredentials, 1);
    QCOMPARE(handshakes, 0);
    QCOMPARE(log.count(QStringLiteral("Credentials likely bad.")), 1);
    QVERIFY(!ours->isHandshakeDone());
}

void tst_LinkTls::silentRefusalIsBadCredentials_data()
{
    QTest::addColumn<bool>("openSsl");
    // OpenSSL sends a session ticket first, our own server does not: the client
    // waits in a different state when the peer hangs up.
    QTest::newRow("s_server, hangs up instead of alerting") << true;
    QTest::newRow("our server, hangs up instead of alerting") << false;
}

void tst_LinkTls::silentRefusalIsBadCredentials()
{
    // Some peers with another key simply drop the connection after our Finished.
    // A forwarder in front of a real peer turns its alert into exactly that.
    QFETCH(bool, openSsl);
    LogCapture log;
    OpenSslPeer peer;
    std::unique_ptr<Server> ourServer;
    quint16 upstreamPort = 0;
    if (openSsl) {
        upstreamPort = peer.startServer(kOtherKeyHex);
    } else {
        ourServer = std::make_unique<Server>(kOtherKeyHex);
        upstreamPort = ourServer->server.serverPort();
    }
    QVERIFY(upstreamPort);

    QTcpServer forwarder;
    QVERIFY(forwarder.listen(QHostAddress::LocalHost, 0));
    QTcpSocket upstream;
    QTcpSocket *downstream = nullptr;
    QObject::connect(&forwarder, &QTcpServer::newConnection, [&] {
        downstream = forwarder.nextPendingConnection();
        upstream.connectToHost(QHostAddress::LocalHost, upstreamPort);
        QObject::connect(downstream, &QIODevice::readyRead, [&] {
            if (upstream.waitForConnected(1000))
                upstream.write(downstream->readAll());
        });
    });
    QObject::connect(&upstream, &QIODevice::readyRead, [&] {
        const QByteArray bytes = upstream.readAll();
        if (bytes.startsWith('\x15')) { // an alert record: hang up instead
            upstream.abort();
            downstream->close();
            return;
        }
        downstream->write(bytes);
    });

    Client client(kKeyHex);
    client.connectTo(forwarder.serverPort());
    QVERIFY(client.waitForUnconnected());
    QTest::qWait(200);
    QCOMPARE(client.badCredentials.count(), 1);
    QCOMPARE(client.handshakeDone.count(), 0);
    QCOMPARE(log.count(QStringLiteral("Credentials likely bad.")), 1 + (ourServer ? ourServer->badCredentials : 0));
    QVERIFY(log.count(QStringLiteral("-0x0050")) >= 1);
}

void tst_LinkTls::peerClosesBeforeTls_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("orderly close") << false;
    QTest::newRow("reset") << true;
}

void tst_LinkTls::peerClosesBeforeTls()
{
    QFETCH(bool, reset);
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&listener, &QTcpServer::newConnection, [&] {
        QTcpSocket *s = listener.nextPendingConnection();
        if (!reset) {
            s->close();
            return;
        }
        // Hang up hard once our ClientHello is in, without a single TLS record back.
        QObject::connect(s, &QIODevice::readyRead, [s] {
            struct linger l = {1, 0};
            setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
            s->close();
        });
    });
    Client client(kKeyHex);
    client.connectTo(listener.serverPort());
    QVERIFY(client.waitForUnconnected());
    QVERIFY(client.errors.count() >= 1);
    QCOMPARE(client.badCredentials.count(), 0);
    QCOMPARE(client.handshakeDone.count(), 0);
}

void tst_LinkTls::writeFailureClosesOnce()
{
    LogCapture log;
    OpenSslPeer peer;
    const quint16 port = peer.startServer(kKeyHex);
    QVERIFY(port);
    Client client(kKeyHex);
    client.connectTo(port);
    QTRY_VERIFY_WITH_TIMEOUT(client.socket.isHandshakeDone(), 5000);

    // Our side can no longer send: the kernel refuses every write from now on,
    // while the socket object still believes it is connected.
    QCOMPARE(::shutdown(int(client.socket.socketDescriptor()), SHUT_WR), 0);
    QElapsedTimer timer;
    timer.start();
    client.socket.writeEncrypted(pattern(40000, 3));
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(log.count(QStringLiteral("Close and abort write")), 1);
    QCOMPARE(client.socket.state(), QAbstractSocket::UnconnectedState);

    client.socket.writeEncrypted("more");
    client.socket.readDecrypted();
    QTest::qWait(100);
    QCOMPARE(log.count(QStringLiteral("Close and abort write")), 1);
    QCOMPARE(client.badCredentials.count(), 0);
}

void tst_LinkTls::garbageEndsTheConnection_data()
{
    QTest::addColumn<bool>("weAreClient");
    QTest::addColumn<bool>("afterHandshake");
    QTest::addColumn<QByteArray>("garbage");

    const QByteArray http = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    const QByteArray oversizedRecord = QByteArray::fromHex("160303FFFF") + QByteArray(200, 'A');
    const QByteArray zeros(64, '\0');
    const QByteArray noise = pattern(4096, 4);
    const QByteArray fakeAppData = QByteArray::fromHex("1703030030") + pattern(48, 5);
    QTest::newRow("client, http answer") << true << false << http;
    QTest::newRow("client, oversized record header") << true << false << oversizedRecord;
    QTest::newRow("client, zeros") << true << false << zeros;
    QTest::newRow("client, noise") << true << false << noise;
    QTest::newRow("server, http request") << false << false << QByteArray("GET / HTTP/1.1\r\n\r\n");
    QTest::newRow("server, oversized record header") << false << false << oversizedRecord;
    QTest::newRow("server, noise") << false << false << noise;
    QTest::newRow("client, forged record after handshake") << true << true << fakeAppData;
    QTest::newRow("client, noise after handshake") << true << true << noise;
    QTest::newRow("server, forged record after handshake") << false << true << fakeAppData;
}

void tst_LinkTls::garbageEndsTheConnection()
{
    QFETCH(bool, weAreClient);
    QFETCH(bool, afterHandshake);
    QFETCH(QByteArray, garbage);
    LogCapture log;

    if (afterHandshake) {
        // Both ends ours; the attacker's bytes bypass TLS on one of them.
        Server server(kKeyHex);
        Client client(kKeyHex);
        client.connectTo(server.server.serverPort());
        QVERIFY(QTest::qWaitFor([&] { return server.handshakes == 1 && client.handshakeDone.count() == 1; }, 5000));
        QTcpSocket *attacker = weAreClient ? static_cast<QTcpSocket *>(server.socket) : &client.socket;
        SocketWrapper *victim = weAreClient ? &client.socket : server.socket;
        attacker->write(garbage);
        attacker->flush();
        QVERIFY(QTest::qWaitFor([&] { return victim->state() == QAbstractSocket::UnconnectedState; }, 5000));
        QCOMPARE(log.count(QStringLiteral("Close and abort read")), 1);
        QVERIFY(weAreClient ? client.received.isEmpty() : server.received.isEmpty());
        return;
    }

    if (weAreClient) {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        QTcpSocket *peer = nullptr;
        QObject::connect(&listener, &QTcpServer::newConnection, [&] {
            peer = listener.nextPendingConnection();
            QObject::connect(peer, &QIODevice::readyRead, [&] {
                peer->readAll(); // the ClientHello
                peer->write(garbage);
            });
        });
        Client client(kKeyHex);
        client.connectTo(listener.serverPort());
        // The peer never hangs up: it is our side that must end it.
        QVERIFY(client.waitForUnconnected());
        QVERIFY(peer && peer->state() == QAbstractSocket::ConnectedState);
        QCOMPARE(client.handshakeDone.count(), 0);
        QVERIFY(client.received.isEmpty());
        QCOMPARE(log.count(QStringLiteral("Close and abort handshake")), 1);
    } else {
        Server server(kKeyHex);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, server.server.serverPort());
        QVERIFY(peer.waitForConnected(3000));
        peer.write(garbage);
        QVERIFY(QTest::qWaitFor([&] { return peer.state() == QAbstractSocket::UnconnectedState; }, 5000));
        QCOMPARE(server.handshakes, 0);
        QVERIFY(server.received.isEmpty());
        QCOMPARE(log.count(QStringLiteral("Close and abort handshake")), 1);
    }
}

void tst_LinkTls::reusedSocketConnectsAgain()
{
    // The controller reuses one socket for every attempt: a refused key, then
    // the right one, must still end in a working connection.
    LogCapture log;
    OpenSslPeer wrong;
    const quint16 wrongPort = wrong.startServer(kOtherKeyHex);
    QVERIFY(wrongPort);
    Client client(kKeyHex);
    QObject::connect(&client.socket, &QAbstractSocket::connected, [&] {
        if (client.badCredentials.isEmpty())
            client.socket.writeEncrypted("stale press\n"); // never delivered: the handshake fails
    });
    client.connectTo(wrongPort);
    QVERIFY(client.waitForUnconnected());
    QCOMPARE(client.badCredentials.count(), 1);

    OpenSslPeer right;
    const quint16 port = right.startServer(kKeyHex);
    QVERIFY(port);
    client.connectTo(port);
    QTRY_VERIFY_WITH_TIMEOUT(client.socket.isHandshakeDone(), 5000);
    client.socket.writeEncrypted("second attempt\n");
    QVERIFY(right.waitForOutput("second attempt\n"));
    // What was queued for the refused connection stays with it.
    QVERIFY(!right.output().contains("stale press"));
    QCOMPARE(client.badCredentials.count(), 1);
    QCOMPARE(log.count(QStringLiteral("mBed TLS Wrapper tlsSetup")), 2);
}

QTEST_GUILESS_MAIN(tst_LinkTls)
#include "tst_LinkTls.moc"
