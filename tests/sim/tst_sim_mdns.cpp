// The simulated unit's mDNS answers for its host name, checked with datagrams
// built and parsed here byte by byte (not with the engine the unit uses).
#include "discovery/UnitHostname.h"
#include "discovery/mdns/Resolver.h"
#include "discovery/mdns/Server.h"
#include "support/SimProcess.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QHostAddress kGroup(QStringLiteral("224.0.0.251"));
constexpr quint16 kMdnsPort = 5353;

QByteArray encodeName(const QByteArray &dotted)
{
    QByteArray out;
    for (const QByteArray &label : dotted.split('.'))
        if (!label.isEmpty())
            out += char(label.size()) + label;
    return out + char(0);
}

QByteArray query(quint16 id, const QByteArray &name, quint16 type, bool unicastBit)
{
    QByteArray q;
    q += char(id >> 8);
    q += char(id & 0xFF);
    q += QByteArray::fromHex("0000"
                             "0001"
                             "0000"
                             "0000"
                             "0000");
    q += encodeName(name);
    q += char(type >> 8);
    q += char(type & 0xFF);
    q += char(unicastBit ? 0x80 : 0x00);
    q += char(0x01);
    return q;
}

struct Answer {
    QByteArray name;
    quint16 type = 0;
    quint16 cls = 0;
    quint32 ttl = 0;
    QByteArray data;
};

// Reads a possibly compressed name at offset; advances offset past it.
bool readName(const QByteArray &m, int &offset, QByteArray &name)
{
    int pos = offset;
    bool jumped = false;
    for (int hops = 0; hops < 32; ++hops) {
        if (pos >= m.size())
            return false;
        const uint8_t len = uint8_t(m.at(pos));
        if (len == 0) {
            if (!jumped)
                offset = pos + 1;
            return true;
        }
        if ((len & 0xC0) == 0xC0) {
            if (pos + 1 >= m.size())
                return false;
            if (!jumped)
                offset = pos + 2;
            jumped = true;
            pos = (len & 0x3F) << 8 | uint8_t(m.at(pos + 1));
            continue;
        }
        name += m.mid(pos + 1, len) + '.';
        pos += 1 + len;
    }
    return false;
}

bool parseResponse(const QByteArray &m, quint16 &id, QList<Answer> &answers)
{
    if (m.size() < 12 || !(uint8_t(m.at(2)) & 0x80))
        return false;
    auto u16 = [&m](int i) { return quint16(uint8_t(m.at(i)) << 8 | uint8_t(m.at(i + 1))); };
    id = u16(0);
    const int qd = u16(4);
    const int records = u16(6) + u16(8) + u16(10);
    int offset = 12;
    QByteArray ignored;
    for (int i = 0; i < qd; ++i) {
        if (!readName(m, offset, ignored))
            return false;
        offset += 4;
    }
    for (int i = 0; i < records; ++i) {
        Answer a;
        if (!readName(m, offset, a.name) || offset + 10 > m.size())
            return false;
        a.type = u16(offset);
        a.cls = u16(offset + 2);
        a.ttl = quint32(u16(offset + 4)) << 16 | u16(offset + 6);
        const int len = u16(offset + 8);
        a.data = m.mid(offset + 10, len);
        offset += 10 + len;
        answers << a;
    }
    return offset <= m.size();
}

} // namespace

class TestSimMdns : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void answersAddressQueries_data();
    void answersAddressQueries();
    void clientResolverFindsUnit();

private:
    SimProcess m_sim;
};

void TestSimMdns::initTestCase()
{
    QVERIFY(m_sim.start({"--no-control"}));
    QVERIFY(m_sim.output().contains("mDNS vq6020.local."));
}

void TestSimMdns::cleanupTestCase()
{
    m_sim.stop();
}

void TestSimMdns::answersAddressQueries_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("fromMdnsPort"); // a full responder (5353) or a simple resolver
    QTest::addColumn<bool>("unicastBit");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<int>("ttl");
    QTest::addColumn<bool>("multicastAnswer");

    QTest::newRow("resolver, A") << QByteArray("vq6020.local") << 1 << false << false << true << 10 << false;
    QTest::newRow("resolver, ANY") << QByteArray("vq6020.local") << 255 << false << false << true << 10 << false;
    QTest::newRow("resolver, name in capitals")
        << QByteArray("VQ6020.Local") << 1 << false << false << true << 10 << false;
    QTest::newRow("resolver, AAAA") << QByteArray("vq6020.local") << 28 << false << false << false << 0 << false;
    QTest::newRow("resolver, other name") << QByteArray("vq6021.local") << 1 << false << false << false << 0 << false;
    QTest::newRow("responder, A") << QByteArray("vq6020.local") << 1 << true << false << true << 120 << true;
    QTest::newRow("responder, A, unicast asked")
        << QByteArray("vq6020.local") << 1 << true << true << true << 120 << false;
}

void TestSimMdns::answersAddressQueries()
{
    QFETCH(QByteArray, name);
    QFETCH(int, type);
    QFETCH(bool, fromMdnsPort);
    QFETCH(bool, unicastBit);
    QFETCH(bool, answered);
    QFETCH(int, ttl);
    QFETCH(bool, multicastAnswer);

    QUdpSocket socket;
    if (fromMdnsPort) {
        QVERIFY(socket.bind(QHostAddress(QHostAddress::AnyIPv4), kMdnsPort,
                            QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
        QNetworkInterface lo;
        for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
            if (i.flags() & QNetworkInterface::IsLoopBack)
                lo = i;
        QVERIFY(socket.joinMulticastGroup(kGroup, lo));
    } else {
        QVERIFY(socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
    }
    const quint16 id = fromMdnsPort ? 0 : 0x4D2A;
    socket.writeDatagram(query(id, name, quint16(type), unicastBit), kGroup, kMdnsPort);

    QList<Answer> answers;
    QHostAddress destinationSeen;
    quint16 gotId = 0xFFFF;
    const bool heard = QTest::qWaitFor(
        [&]() {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket.receiveDatagram();
                QList<Answer> a;
                quint16 rid = 0;
                if (parseResponse(d.data(), rid, a) && !a.isEmpty()) {
                    answers = a;
                    gotId = rid;
                    destinationSeen = d.destinationAddress();
                }
            }
            return !answers.isEmpty();
        },
        answered ? 3000 : 1000);

    QCOMPARE(heard, answered);
    if (!answered)
        return;
    QCOMPARE(answers.size(), 1);
    const Answer &a = answers.first();
    QCOMPARE(a.name.toLower(), QByteArray("vq6020.local."));
    QCOMPARE(a.type, quint16(1));
    QCOMPARE(a.ttl, quint32(ttl));
    // Responders get a cache-flush answer; a simple resolver's own TTL-10 copy has none.
    QCOMPARE(a.cls, quint16(fromMdnsPort ? 0x8001 : 0x0001));
    // The address of the interface the query came in on: loopback here.
    QCOMPARE(a.data, QByteArray::fromHex("7f000001"));
    QCOMPARE(gotId, id);
    QCOMPARE(destinationSeen == kGroup, multicastAnswer);
}

// The client's own lookup path: the engine's server and resolver on the same host.
void TestSimMdns::clientResolverFindsUnit()
{
    QMdnsEngine::Server server;
    QMdnsEngine::Resolver resolver(&server, QByteArray(kUnitMdnsHostname));
    QList<QHostAddress> addresses;
    connect(&resolver, &QMdnsEngine::Resolver::resolved, this, [&addresses](const QHostAddress &a) { addresses << a; });
    QVERIFY(QTest::qWaitFor([&]() { return !addresses.isEmpty(); }, 5000));
    QCOMPARE(addresses.first(), QHostAddress(QStringLiteral("127.0.0.1")));
}

QTEST_MAIN(TestSimMdns)
#include "tst_sim_mdns.moc"
