// The UDP server in a network namespace of its own: several servers share port
// 5353, malformed datagrams are dropped silently, and one sendToGroups reaches
// both groups on every interface that can multicast.
#include "discovery/mdns/Browser.h"
#include "discovery/mdns/Cache.h"
#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Server.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace QMdnsEngine;

namespace {
bool run(const QStringList &args)
{
    QProcess process;
    process.start(args.first(), args.mid(1));
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

Message probe(const QByteArray &name)
{
    Message message;
    Query query;
    query.setName(name);
    query.setType(A);
    message.addQuery(query);
    return message;
}

struct Captured {
    int ifindex;
    bool ipv6;
};

// Reads every outgoing UDP datagram to port 5353 that a packet socket saw.
QList<Captured> drainCapture(int fd)
{
    QList<Captured> result;
    for (;;) {
        unsigned char buffer[2048];
        sockaddr_ll from = {};
        socklen_t fromLength = sizeof(from);
        const ssize_t n =
            recvfrom(fd, buffer, sizeof(buffer), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n < 0)
            break;
        if (from.sll_pkttype != PACKET_OUTGOING)
            continue;
        const int version = buffer[0] >> 4;
        if (version == 4 && n >= 28 && buffer[9] == 17) {
            const int ihl = (buffer[0] & 0x0f) * 4;
            const quint16 port = quint16(buffer[ihl + 2] << 8 | buffer[ihl + 3]);
            const bool group = buffer[16] == 224 && buffer[17] == 0 && buffer[18] == 0 && buffer[19] == 251;
            if (port == MdnsPort && group)
                result.append({from.sll_ifindex, false});
        } else if (version == 6 && n >= 48 && buffer[6] == 17) {
            const quint16 port = quint16(buffer[42] << 8 | buffer[43]);
            const bool group = buffer[24] == 0xff && buffer[25] == 0x02 && buffer[39] == 0xfb;
            if (port == MdnsPort && group)
                result.append({from.sll_ifindex, true});
        }
    }
    return result;
}
} // namespace

class tst_MdnsServer : public QObject
{
    Q_OBJECT

private slots:
    void serversShareThePort();
    void dropsMalformedSilently_data();
    void dropsMalformedSilently();
    void bindIsRetried();
    void acceptsOnlyTheLocalLink_data();
    void acceptsOnlyTheLocalLink();
    void knownAnswersAreSplit();
    // Last: it takes loopback out of multicast.
    void sendToGroupsCoversEveryInterface();
};

void tst_MdnsServer::serversShareThePort()
{
    Server first;
    QSignalSpy firstErrors(&first, &AbstractServer::error);
    Server second;
    QSignalSpy secondErrors(&second, &AbstractServer::error);
    QSignalSpy firstHeard(&first, &AbstractServer::messageReceived);
    QSignalSpy secondHeard(&second, &AbstractServer::messageReceived);
    QVERIFY2(firstErrors.isEmpty() && secondErrors.isEmpty(), "both servers bind 5353");

    second.sendToGroups(probe("shared.local."));
    // The first server hears it, and so does the sender itself (multicast loops back).
    QTRY_VERIFY(!firstHeard.isEmpty());
    QTRY_VERIFY(!secondHeard.isEmpty());
    const Message heard = firstHeard.first().at(0).value<Message>();
    QCOMPARE(heard.queries().size(), 1);
    QCOMPARE(heard.queries().at(0).name(), QByteArray("shared.local."));
    QCOMPARE(heard.port(), MdnsPort);
    QVERIFY(!heard.address().isNull());
    QCOMPARE(heard.interfaceIndex(), QNetworkInterface::interfaceIndexFromName("lo"));

    // sendTo answers the sender directly, on the address family it used.
    Message reply;
    reply.reply(heard);
    Record record;
    record.setName("shared.local.");
    record.setType(A);
    record.setAddress(QHostAddress("127.0.0.1"));
    reply.addRecord(record);
    secondHeard.clear();
    first.sendTo(reply);
    QTRY_VERIFY(!secondHeard.isEmpty());
    QVERIFY(secondHeard.last().at(0).value<Message>().isResponse());
}

void tst_MdnsServer::dropsMalformedSilently_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::newRow("short") << QByteArray::fromHex("00008400000100");
    QTest::newRow("self pointer") << QByteArray::fromHex("000084000001000000000000c00c00010001");
    QTest::newRow("label length 100") << QByteArray::fromHex("00008400000100000000000064");
}

void tst_MdnsServer::dropsMalformedSilently()
{
    QFETCH(QByteArray, datagram);
    Server server;
    QSignalSpy heard(&server, &AbstractServer::messageReceived);
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress("127.0.0.1"), 0));
    peer.writeDatagram(datagram, MdnsIpv4Address, MdnsPort);
    // A good datagram after the bad one still gets through, and only it.
    const QByteArray good = encodeMessage(probe("after.local."));
    peer.writeDatagram(good, MdnsIpv4Address, MdnsPort);
    QTRY_COMPARE(heard.count(), 1);
    QTest::qWait(200);
    QCOMPARE(heard.count(), 1);
    QCOMPARE(heard.first().at(0).value<Message>().queries().at(0).name(), QByteArray("after.local."));
}

void tst_MdnsServer::acceptsOnlyTheLocalLink_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("ttl");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("routed from afar") << "10.200.0.7" << 1 << false;
    QTest::newRow("from afar, but hop limit intact") << "10.200.0.7" << 255 << true;
    QTest::newRow("on the receiving link's subnet") << "127.0.0.5" << 1 << true;
    // What a loopback-only host sends to the group: no source address at all.
    QTest::newRow("unspecified source on loopback") << "0.0.0.0" << 1 << true;
}

void tst_MdnsServer::acceptsOnlyTheLocalLink()
{
    QFETCH(QString, source);
    QFETCH(int, ttl);
    QFETCH(bool, accepted);
    // A raw socket writes the IP header itself: any source address, any TTL, out by loopback.
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0)
        QSKIP("no raw socket (needs NETNS and CAP_NET_RAW)");
    Server server;
    QSignalSpy heard(&server, &AbstractServer::messageReceived);
    const QByteArray payload = encodeMessage(probe("far.local."));
    QByteArray packet(20 + 8, '\0');
    packet += payload;
    auto *ip = reinterpret_cast<unsigned char *>(packet.data());
    ip[0] = 0x45;
    ip[2] = quint8(packet.size() >> 8);
    ip[3] = quint8(packet.size());
    ip[8] = quint8(ttl);
    ip[9] = IPPROTO_UDP;
    const quint32 from = QHostAddress(source).toIPv4Address();
    const quint32 to = MdnsIpv4Address.toIPv4Address();
    for (int i = 0; i < 4; ++i) {
        ip[12 + i] = quint8(from >> (24 - 8 * i));
        ip[16 + i] = quint8(to >> (24 - 8 * i));
    }
    const int udpLength = 8 + payload.size();
    const unsigned char udp[8] = {0x14, 0xe9, 0x14, 0xe9, quint8(udpLength >> 8), quint8(udpLength), 0, 0};
    memcpy(packet.data() + 20, udp, 8);
    sockaddr_in target = {};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(to);
    const ssize_t n = sendto(fd, packet.constData(), size_t(packet.size()), 0,
                             reinterpret_cast<const sockaddr *>(&target), sizeof(target));
    ::close(fd);
    QCOMPARE(n, ssize_t(packet.size()));
    // A datagram from loopback itself follows, so that waiting for it bounds the wait.
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress("127.0.0.1"), 0));
    peer.writeDatagram(encodeMessage(probe("near.local.")), MdnsIpv4Address, MdnsPort);
    QTRY_VERIFY(!heard.isEmpty() && heard.last().at(0).value<Message>().queries().at(0).name() == "near.local.");
    QTest::qWait(100);
    QStringList names;
    for (const QList<QVariant> &args : qAsConst(heard))
        names << QString::fromUtf8(args.at(0).value<Message>().queries().at(0).name());
    QCOMPARE(names.contains("far.local."), accepted);
}

void tst_MdnsServer::knownAnswersAreSplit()
{
    // A browser that already knows 1500 instances: its question with all of them as known
    // answers is far more than one datagram should carry (and a few thousand more than any
    // can). All of it is sent at once, so it must fit the listener's receive buffer.
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress::AnyIPv4, MdnsPort, QAbstractSocket::ShareAddress));
    QVERIFY(listener.joinMulticastGroup(MdnsIpv4Address));
    Server server;
    Cache cache;
    cache.setTimeScale(1000);
    const QByteArray type = "_many._tcp.local.";
    for (int i = 0; i < 1500; ++i) {
        Record ptr;
        ptr.setName(type);
        ptr.setType(PTR);
        ptr.setTarget("i" + QByteArray::number(i) + '.' + type);
        ptr.setTtl(4500);
        cache.insertRecord(ptr);
    }
    QTest::qWait(1000); // a thousand seconds of the cache's life
    Browser browser(&server, type, &cache);
    QList<Message> heard;
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < 500) {
        QTest::qWait(50);
        while (listener.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = listener.receiveDatagram();
            Message m;
            if (datagram.senderPort() != MdnsPort || datagram.data().size() > MdnsMaxMessageBytes ||
                !decodeMessage(datagram.data(), m) || m.isResponse())
                QFAIL(qPrintable(
                    QStringLiteral("%1 bytes from port %2").arg(datagram.data().size()).arg(datagram.senderPort())));
            heard << m;
            quiet.restart();
        }
    }
    QVERIFY(heard.size() > 1);
    QCOMPARE(heard.first().queries().size(), 1);
    QCOMPARE(heard.first().queries().at(0).name(), type);
    int known = 0;
    for (int i = 0; i < heard.size(); ++i) {
        QCOMPARE(heard.at(i).isTruncated(), i + 1 < heard.size());
        for (const Record &r : heard.at(i).records()) {
            ++known;
            QVERIFY2(r.ttl() >= 3400 && r.ttl() <= 3600, qPrintable(QString::number(r.ttl())));
        }
    }
    QCOMPARE(known, 1500);
}

void tst_MdnsServer::sendToGroupsCoversEveryInterface()
{
    // Two multicast interfaces: one end of each of two veth pairs (the other ends
    // have multicast off). Loopback leaves the game: it does not carry IPv6
    // multicast, and this namespace is ours alone.
    if (!run({"ip", "link", "add", "mdnsa", "type", "veth", "peer", "name", "mdnsb"}))
        QSKIP("cannot create a veth pair in this namespace (needs NETNS and CAP_NET_ADMIN)");
    QVERIFY(run({"ip", "link", "add", "mdnsc", "type", "veth", "peer", "name", "mdnsd"}));
    QVERIFY(run({"ip", "link", "set", "lo", "multicast", "off"}));
    int octet = 1;
    for (const char *name : {"mdnsa", "mdnsc"}) {
        QVERIFY(run({"ip", "addr", "add", QStringLiteral("10.78.%1.1/24").arg(octet), "dev", name}));
        QVERIFY(run({"ip", "addr", "add", QStringLiteral("fe80::78:%1/64").arg(octet), "dev", name, "nodad"}));
        ++octet;
    }
    for (const char *name : {"mdnsb", "mdnsd"}) {
        QVERIFY(run({"ip", "link", "set", name, "multicast", "off"}));
        QVERIFY(run({"ip", "link", "set", name, "up"}));
    }
    QVERIFY(run({"ip", "link", "set", "mdnsa", "up"}));
    QVERIFY(run({"ip", "link", "set", "mdnsc", "up"}));

    const int fd = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    if (fd < 0)
        QSKIP("no packet socket (needs CAP_NET_RAW)");
    Server server;
    QTest::qWait(300);
    drainCapture(fd);

    server.sendToGroups(probe("count.local."));
    QTest::qWait(500);
    const QList<Captured> captured = drainCapture(fd);
    ::close(fd);

    const int first = QNetworkInterface::interfaceIndexFromName("mdnsa");
    const int second = QNetworkInterface::interfaceIndexFromName("mdnsc");
    QMap<QPair<int, bool>, int> perInterface;
    for (const Captured &c : captured)
        ++perInterface[qMakePair(c.ifindex, c.ipv6)];
    QStringList seen;
    for (auto i = perInterface.cbegin(); i != perInterface.cend(); ++i)
        seen << QStringLiteral("if%1/%2:%3").arg(i.key().first).arg(i.key().second ? "v6" : "v4").arg(i.value());
    QVERIFY2(captured.size() == 4, qPrintable(seen.join(' ')));
    QCOMPARE(perInterface.value(qMakePair(first, false)), 1);
    QCOMPARE(perInterface.value(qMakePair(first, true)), 1);
    QCOMPARE(perInterface.value(qMakePair(second, false)), 1);
    QCOMPARE(perInterface.value(qMakePair(second, true)), 1);

    // An answer to a question heard on one link goes out on that link only.
    const int fd2 = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL));
    QVERIFY(fd2 >= 0);
    QTest::qWait(100);
    drainCapture(fd2);
    Message answer = probe("answer.local.");
    answer.setResponse(true);
    answer.setInterfaceIndex(second);
    server.sendToGroups(answer);
    QTest::qWait(500);
    const QList<Captured> answered = drainCapture(fd2);
    ::close(fd2);
    QCOMPARE(answered.size(), 2);
    for (const Captured &c : answered)
        QCOMPARE(c.ifindex, second);
}

namespace {
QStringList g_log;
void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    g_log << text;
}
} // namespace

void tst_MdnsServer::bindIsRetried()
{
    // Another program holds 5353 exclusively when we start, and lets it go later.
    auto blocker = std::make_unique<QUdpSocket>();
    QVERIFY(blocker->bind(QHostAddress::AnyIPv4, MdnsPort, QAbstractSocket::DontShareAddress));
    QVERIFY(blocker->joinMulticastGroup(MdnsIpv4Address));
    g_log.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collect);
    Server server;
    server.setTimeScale(600); // the one-minute re-check every 100 ms
    QSignalSpy heard(&server, &AbstractServer::messageReceived);

    // Nothing may leave from a port other than 5353: receivers ignore it, and it used
    // to leave the socket bound to that port for good.
    server.sendToGroups(probe("early.local."));
    QTest::qWait(300);
    QList<quint16> strayPorts;
    while (blocker->hasPendingDatagrams())
        strayPorts << quint16(blocker->receiveDatagram().senderPort());
    QCOMPARE(strayPorts, QList<quint16>());

    blocker.reset();
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress("127.0.0.1"), 0));
    bool got = false;
    for (int i = 0; i < 50 && !got; ++i) {
        peer.writeDatagram(encodeMessage(probe("late.local.")), MdnsIpv4Address, MdnsPort);
        QTest::qWait(100);
        for (const QList<QVariant> &args : qAsConst(heard))
            got = got || args.at(0).value<Message>().queries().value(0).name() == "late.local.";
    }
    qInstallMessageHandler(previous);
    QVERIFY2(got, qPrintable(g_log.join(QLatin1Char('\n'))));
    const QStringList failures = g_log.filter("mDNS: cannot bind IPv4 port 5353:");
    QVERIFY2(!failures.isEmpty(), qPrintable(g_log.join('\n')));
    QVERIFY(failures.first().endsWith("; next try in 60 s"));
}

QTEST_GUILESS_MAIN(tst_MdnsServer)
#include "tst_MdnsServer.moc"
