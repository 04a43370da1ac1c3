// Browser, host name, prober and provider against a scripted network: every
// datagram they would send is recorded, every datagram they hear is made here.
#include "discovery/MDNSBrowser.h"
#include "discovery/mdns/AbstractServer.h"
#include "discovery/mdns/Browser.h"
#include "discovery/mdns/Cache.h"
#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Hostname.h"
#include "discovery/mdns/Prober.h"
#include "discovery/mdns/Provider.h"
#include "discovery/mdns/Resolver.h"
#include "support/ManualClock.h"

#include <QNetworkInterface>
#include <QElapsedTimer>
#include <QSysInfo>
#include <QtTest>

#include <functional>
#include <memory>

using namespace QMdnsEngine;

namespace {
class FakeServer : public AbstractServer
{
public:
    void sendTo(const Message &message) override { sent.append(message); }
    void sendToGroups(const Message &message) override
    {
        sent.append(message);
        if (onSend)
            onSend(message);
        // Multicast comes back to the sender, a moment later.
        if (loopback)
            QTimer::singleShot(0, this, [this, message]() { deliver(message); });
    }
    void deliver(const Message &message, const QHostAddress &from = QHostAddress("127.0.0.1"), int interfaceIndex = 0)
    {
        // Through the codec, as a real datagram would come.
        Message decoded;
        QVERIFY(decodeMessage(encodeMessage(message), decoded));
        decoded.setAddress(from);
        decoded.setPort(MdnsPort);
        decoded.setInterfaceIndex(interfaceIndex);
        emit messageReceived(decoded);
    }
    QList<Message> sent;
    // A peer that answers at once, before any other wait can end.
    std::function<void(const Message &)> onSend;
    bool loopback = false;
};

// Twenty times real speed: the two-second registration and probe windows take a tenth of a second.
constexpr double kSpeed = 20;

const QByteArray kType = "_fernholow._tcp.local.";

Record ptrRecord(const QByteArray &instance, quint32 ttl = 4500)
{
    Record r;
    r.setName(kType);
    r.setType(PTR);
    r.setTarget(instance + '.' + kType);
    r.setTtl(ttl);
    return r;
}
Record srvRecord(const QByteArray &instance, const QByteArray &host, quint16 port, quint32 ttl = 120)
{
    Record r;
    r.setName(instance + '.' + kType);
    r.setType(SRV);
    r.setTarget(host);
    r.setPort(port);
    r.setTtl(ttl);
    r.setFlushCache(true);
    return r;
}
Record txtRecord(const QByteArray &instance, const QMap<QByteArray, QByteArray> &attributes)
{
    Record r;
    r.setName(instance + '.' + kType);
    r.setType(TXT);
    r.setAttributes(attributes);
    r.setTtl(4500);
    r.setFlushCache(true);
    return r;
}
Message response(const QList<Record> &records)
{
    Message m;
    m.setResponse(true);
    for (const Record &r : records)
        m.addRecord(r);
    return m;
}
Message query(const QByteArray &name, quint16 type, const QList<Record> &known = {})
{
    Message m;
    m.setTransactionId(0x77);
    Query q;
    q.setName(name);
    q.setType(type);
    m.addQuery(q);
    for (const Record &r : known)
        m.addRecord(r);
    return m;
}
QStringList describe(const Message &message)
{
    QStringList result;
    for (const Record &r : message.records())
        result << typeName(r.type()) + ' ' + QString::fromUtf8(r.name());
    return result;
}
QByteArray machineHostname(int suffix = 1)
{
    QByteArray name = QSysInfo::machineHostName().toUtf8().replace('.', '-');
    if (suffix > 1)
        name += '-' + QByteArray::number(suffix);
    return name + ".local.";
}
} // namespace

class tst_MdnsResponders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    // Rows share one host name and provider; each starts as if their last answers were long ago.
    void init() { m_clock.advance(60000); }
    void browserFollowsAService();
    void browserAsksForMissingDetails();
    void browserTableIsBounded();
    void hostnameConflictNumbers();
    void proberConflictNumbers();
    void hostnameAsksAgainBeforeClaiming();
    void providerAnswers_data();
    void providerAnswers();
    void answersArePaced_data();
    void answersArePaced();
    void uniqueRecordsFlushCaches_data();
    void uniqueRecordsFlushCaches();
    void hostAnswersForTheArrivalLink_data();
    void hostAnswersForTheArrivalLink();
    void providerSaysGoodbye();
    void republishingKeepsTheNumberedName();
    void namesCompareWithoutCase_data();
    void namesCompareWithoutCase();
    void ownRecordsAreNoConflict_data();
    void ownRecordsAreNoConflict();
    void offerDuringRecheckIsPublished();
    void browserLogIsLimited();
    void floodCostsLittle_data();
    void floodCostsLittle();
    void refreshQueriesAreBatched();

private:
    ManualClock m_clock;
    FakeServer m_server;
    std::unique_ptr<Hostname> m_hostname;
    std::unique_ptr<Provider> m_provider;
};

void tst_MdnsResponders::initTestCase()
{
    // One provider for all answer rows: host name and instance probe take their (scaled) time once.
    m_hostname = std::make_unique<Hostname>(&m_server);
    m_hostname->setTimeScale(kSpeed);
    m_hostname->setClock(&m_clock);
    m_provider = std::make_unique<Provider>(&m_server, m_hostname.get());
    m_provider->setTimeScale(kSpeed);
    m_provider->setClock(&m_clock);
    Service service;
    service.setName("relay.one");
    service.setType(kType);
    service.setPort(4242);
    service.addAttribute("v", "1");
    m_provider->publishService(service);
    QTRY_VERIFY_WITH_TIMEOUT(m_hostname->isConfirmed(), 30000);
    // Announced once the probe found nobody objecting.
    QTRY_VERIFY_WITH_TIMEOUT(!m_server.sent.isEmpty() && m_server.sent.last().isResponse(), 30000);
    const Message announcement = m_server.sent.last();
    QCOMPARE(describe(announcement), (QStringList{"PTR " + kType, "SRV relay-one." + kType, "TXT relay-one." + kType}));
    QCOMPARE(announcement.records().at(1).target(), machineHostname());
    QCOMPARE(announcement.records().at(1).port(), quint16(4242));
}

void tst_MdnsResponders::browserFollowsAService()
{
    FakeServer server;
    Browser browser(&server, kType);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QSignalSpy updated(&browser, &Browser::serviceUpdated);
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    QCOMPARE(server.sent.size(), 1);
    QCOMPARE(server.sent.at(0).queries().at(0).name(), kType);
    QCOMPARE(server.sent.at(0).queries().at(0).type(), quint16(PTR));

    server.deliver(response({ptrRecord("r"), srvRecord("r", "a.local.", 4242), txtRecord("r", {{"k", "v"}})}));
    QCOMPARE(added.count(), 1);
    Service service = added.first().at(0).value<Service>();
    QCOMPARE(service.name(), QByteArray("r"));
    QCOMPARE(service.hostname(), QByteArray("a.local."));
    QCOMPARE(service.attributes().value("k"), QByteArray("v"));

    // The same announcement again, then one that only moves the host: nothing to report.
    server.deliver(response({ptrRecord("r"), srvRecord("r", "a.local.", 4242)}));
    server.deliver(response({srvRecord("r", "b.local.", 4242)}));
    QCOMPARE(added.count(), 1);
    QCOMPARE(updated.count(), 0);
    // A new port is a change.
    server.deliver(response({srvRecord("r", "b.local.", 4343)}));
    QCOMPARE(updated.count(), 1);
    service = updated.last().at(0).value<Service>();
    QCOMPARE(service.port(), quint16(4343));
    QCOMPARE(service.hostname(), QByteArray("b.local."));
    // A goodbye for the SRV record removes the service.
    server.deliver(response({srvRecord("r", "b.local.", 4343, 0)}));
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.first().at(0).value<Service>().name(), QByteArray("r"));
}

void tst_MdnsResponders::browserAsksForMissingDetails()
{
    FakeServer server;
    Browser browser(&server, kType);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    server.sent.clear();
    server.deliver(response({ptrRecord("r"), ptrRecord("s")}));
    QCOMPARE(added.count(), 0);
    QCOMPARE(server.sent.size(), 1);
    QStringList asked;
    for (const Query &q : server.sent.at(0).queries())
        asked << typeName(q.type()) + ' ' + QString::fromUtf8(q.name());
    asked.sort();
    QCOMPARE(asked, (QStringList{"SRV r." + kType, "SRV s." + kType, "TXT r." + kType, "TXT s." + kType}));
    // Records of other types are not taken for ours.
    Record other;
    other.setName("r._other._tcp.local.");
    other.setType(SRV);
    other.setTarget("a.local.");
    server.sent.clear();
    server.deliver(response({other}));
    QVERIFY(server.sent.isEmpty());
    QCOMPARE(added.count(), 0);
}

void tst_MdnsResponders::browserTableIsBounded()
{
    FakeServer server;
    Browser browser(&server, kType);
    QSignalSpy added(&browser, &Browser::serviceAdded);
    const int flood = Browser::maxServices() + 100;
    for (int i = 0; i < flood; ++i) {
        const QByteArray name = "flood" + QByteArray::number(i);
        server.deliver(response({ptrRecord(name), srvRecord(name, "f.local.", 1)}));
    }
    QCOMPARE(added.count(), Browser::maxServices());
}

void tst_MdnsResponders::hostnameConflictNumbers()
{
    FakeServer server;
    Hostname hostname(&server);
    QCOMPARE(server.sent.size(), 1);
    QCOMPARE(server.sent.at(0).queries().at(0).name(), machineHostname());
    Record taken;
    taken.setName(machineHostname());
    taken.setType(A);
    taken.setAddress(QHostAddress("10.0.0.1"));
    server.deliver(response({taken}));
    QCOMPARE(server.sent.size(), 2);
    QCOMPARE(server.sent.at(1).queries().at(0).name(), machineHostname(2));
    QCOMPARE(hostname.hostName(), machineHostname(2));
    QVERIFY(!hostname.isConfirmed());
}

void tst_MdnsResponders::hostnameAsksAgainBeforeClaiming()
{
    // A holder that stayed silent on the first question (it had just multicast its
    // record) answers the second one, and that still counts as a conflict.
    FakeServer server;
    Record taken;
    taken.setName(machineHostname());
    taken.setType(AAAA);
    taken.setAddress(QHostAddress("fe80::1"));
    server.onSend = [&](const Message &message) {
        if (server.sent.size() == 2 && message.queries().value(0).name() == machineHostname())
            server.deliver(response({taken}));
    };
    Hostname hostname(&server);
    hostname.setTimeScale(kSpeed);
    QSignalSpy changed(&hostname, &Hostname::hostnameChanged);
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 30000);
    QCOMPARE(changed.first().at(0).toByteArray(), machineHostname(2));
    // Asked twice for the plain name, then for the numbered one.
    QCOMPARE(server.sent.at(1).queries().at(0).name(), machineHostname());
    QCOMPARE(server.sent.at(2).queries().at(0).name(), machineHostname(2));
}

void tst_MdnsResponders::proberConflictNumbers()
{
    FakeServer server;
    Prober prober(&server, srvRecord("box", "h.local.", 1));
    prober.setTimeScale(kSpeed);
    QSignalSpy confirmed(&prober, &Prober::nameConfirmed);
    QCOMPARE(server.sent.at(0).queries().at(0).type(), quint16(ANY));
    QCOMPARE(server.sent.at(0).queries().at(0).name(), "box." + kType);
    server.deliver(response({srvRecord("box", "other.local.", 2)}));
    server.deliver(response({srvRecord("box-2", "other.local.", 2)}));
    QCOMPARE(server.sent.last().queries().at(0).name(), "box-3." + kType);
    QTRY_COMPARE_WITH_TIMEOUT(confirmed.count(), 1, 30000);
    QCOMPARE(confirmed.first().at(0).toByteArray(), "box-3." + kType);
}

void tst_MdnsResponders::providerAnswers_data()
{
    QTest::addColumn<Message>("question");
    QTest::addColumn<QStringList>("answer");

    const QByteArray full = "relay-one." + kType;
    Record ptr = ptrRecord("relay-one");
    QTest::newRow("PTR for the type brings SRV and TXT")
        << query(kType, PTR) << QStringList{"PTR " + kType, "SRV " + full, "TXT " + full};
    QTest::newRow("known PTR is not repeated") << query(kType, PTR, {ptr}) << QStringList{};
    QTest::newRow("service enumeration") << query(MdnsBrowseType, PTR) << QStringList{"PTR " + MdnsBrowseType};
    QTest::newRow("SRV alone") << query(full, SRV) << QStringList{"SRV " + full};
    QTest::newRow("TXT alone") << query(full, TXT) << QStringList{"TXT " + full};
    QTest::newRow("a probe (ANY) for our name is answered")
        << query(full, ANY) << QStringList{"SRV " + full, "TXT " + full};
    QTest::newRow("other type") << query("_http._tcp.local.", PTR) << QStringList{};
    QTest::newRow("our host name, A") << query(machineHostname(), A) << QStringList{"A " + machineHostname()};
    QTest::newRow("our host name, probed with ANY")
        << query(machineHostname(), ANY) << QStringList{"A " + machineHostname(), "AAAA " + machineHostname()};
}

void tst_MdnsResponders::providerAnswers()
{
    QFETCH(Message, question);
    QFETCH(QStringList, answer);
    m_server.sent.clear();
    m_server.deliver(question);
    QStringList got;
    for (const Message &m : qAsConst(m_server.sent)) {
        QVERIFY(m.isResponse());
        QCOMPARE(m.transactionId(), quint16(0x77));
        got << describe(m);
    }
    QCOMPARE(got, answer);
    // Answers about the host carry an address of the querier's link.
    for (const Message &m : qAsConst(m_server.sent)) {
        for (const Record &r : m.records()) {
            if (r.type() == A)
                QCOMPARE(r.address(), QHostAddress("127.0.0.1"));
            if (r.type() == AAAA)
                QCOMPARE(r.address(), QHostAddress("::1"));
        }
    }
}

void tst_MdnsResponders::uniqueRecordsFlushCaches_data()
{
    QTest::addColumn<Message>("question");
    QTest::addColumn<quint16>("type");
    QTest::addColumn<bool>("flush");
    QTest::addColumn<quint32>("ttl");
    const QByteArray full = "relay-one." + kType;
    QTest::newRow("host address") << query(machineHostname(), A) << quint16(A) << true << 120u;
    QTest::newRow("host IPv6 address") << query(machineHostname(), AAAA) << quint16(AAAA) << true << 120u;
    QTest::newRow("SRV") << query(full, SRV) << quint16(SRV) << true << 120u;
    QTest::newRow("TXT") << query(full, TXT) << quint16(TXT) << true << 4500u;
    QTest::newRow("PTR is shared") << query(kType, PTR) << quint16(PTR) << false << 4500u;
}

void tst_MdnsResponders::uniqueRecordsFlushCaches()
{
    QFETCH(Message, question);
    QFETCH(quint16, type);
    QFETCH(bool, flush);
    QFETCH(quint32, ttl);
    m_server.sent.clear();
    m_server.deliver(question);
    QCOMPARE(m_server.sent.size(), 1);
    Message heard;
    QVERIFY(decodeMessage(encodeMessage(m_server.sent.at(0)), heard));
    QVERIFY(!heard.records().isEmpty());
    const Record record = heard.records().at(0);
    QCOMPARE(record.type(), type);
    QCOMPARE(record.flushCache(), flush);
    QCOMPARE(record.ttl(), ttl);
}

void tst_MdnsResponders::hostAnswersForTheArrivalLink_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<int>("interfaceIndex");
    QTest::addColumn<quint16>("type");
    QTest::addColumn<QString>("answer");
    const int lo = QNetworkInterface::interfaceIndexFromName("lo");
    QTest::newRow("IPv6 link-local querier on loopback") << "fe80::99" << lo << quint16(A) << "127.0.0.1";
    QTest::newRow("IPv4 querier on loopback asks for IPv6") << "127.0.0.1" << lo << quint16(AAAA) << "::1";
    int down = 0;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        if (!(iface.flags() & QNetworkInterface::IsUp))
            down = iface.index();
    }
    // Which link a datagram came from is known, but that link has since gone down.
    if (down > 0)
        QTest::newRow("interface that is down") << "127.0.0.1" << down << quint16(A) << "";
    QTest::newRow("vanished interface") << "127.0.0.1" << 99999 << quint16(A) << "";
}

void tst_MdnsResponders::hostAnswersForTheArrivalLink()
{
    QFETCH(QString, from);
    QFETCH(int, interfaceIndex);
    QFETCH(quint16, type);
    QFETCH(QString, answer);
    m_server.sent.clear();
    m_server.deliver(query(machineHostname(), type), QHostAddress(from), interfaceIndex);
    if (answer.isEmpty()) {
        QCOMPARE(m_server.sent.size(), 0);
        return;
    }
    QCOMPARE(m_server.sent.size(), 1);
    QCOMPARE(m_server.sent.at(0).records().size(), 1);
    QCOMPARE(m_server.sent.at(0).records().at(0).address(), QHostAddress(answer));
    // And it goes back out by that link only.
    QCOMPARE(m_server.sent.at(0).interfaceIndex(), interfaceIndex);
}

void tst_MdnsResponders::providerSaysGoodbye()
{
    m_server.sent.clear();
    m_provider.reset();
    QCOMPARE(m_server.sent.size(), 1);
    const Message goodbye = m_server.sent.at(0);
    QVERIFY(goodbye.isResponse());
    QCOMPARE(describe(goodbye).size(), 3);
    for (const Record &r : goodbye.records())
        QCOMPARE(r.ttl(), quint32(0));
}

void tst_MdnsResponders::republishingKeepsTheNumberedName()
{
    FakeServer server;
    Hostname hostname(&server);
    hostname.setTimeScale(kSpeed);
    QTRY_VERIFY_WITH_TIMEOUT(hostname.isConfirmed(), 30000);
    Provider provider(&server, &hostname);
    provider.setTimeScale(kSpeed);
    Service service;
    service.setName("box");
    service.setType(kType);
    service.setPort(1);
    provider.publishService(service);
    server.deliver(response({srvRecord("box", "other.local.", 9)}));
    QTRY_VERIFY_WITH_TIMEOUT(server.sent.last().isResponse(), 30000);
    QCOMPARE(describe(server.sent.last()).at(1), "SRV box-2." + kType);

    // A changed port is announced at once, under the name the probe settled on.
    service.setPort(2);
    server.sent.clear();
    provider.publishService(service);
    QCOMPARE(server.sent.size(), 1);
    QCOMPARE(describe(server.sent.at(0)), (QStringList{"PTR " + kType, "SRV box-2." + kType, "TXT box-2." + kType}));
    QCOMPARE(server.sent.at(0).records().at(0).target(), "box-2." + kType);
    QCOMPARE(server.sent.at(0).records().at(1).port(), quint16(2));
}

enum CaseScenario {
    ResolverHearsCapitals,
    BrowserHearsCapitals,
    HostnameConflict,
    ProberConflict,
    ProviderQuestion,
    CacheFlush
};
Q_DECLARE_METATYPE(CaseScenario)

void tst_MdnsResponders::namesCompareWithoutCase_data()
{
    QTest::addColumn<CaseScenario>("scenario");
    QTest::newRow("resolver takes an answer in capitals") << ResolverHearsCapitals;
    QTest::newRow("browser takes a service spelled in capitals") << BrowserHearsCapitals;
    QTest::newRow("host name conflict in other case") << HostnameConflict;
    QTest::newRow("instance conflict in other case") << ProberConflict;
    QTest::newRow("provider answers a question in capitals") << ProviderQuestion;
    QTest::newRow("cache flush replaces another spelling") << CacheFlush;
}

void tst_MdnsResponders::namesCompareWithoutCase()
{
    QFETCH(CaseScenario, scenario);
    FakeServer server;
    switch (scenario) {
    case ResolverHearsCapitals: {
        Resolver resolver(&server, "vq6020.local.");
        QSignalSpy resolved(&resolver, &Resolver::resolved);
        Record a;
        a.setName("VQ6020.Local.");
        a.setType(A);
        a.setAddress(QHostAddress("10.1.2.3"));
        server.deliver(response({a}));
        QCOMPARE(resolved.count(), 1);
        break;
    }
    case BrowserHearsCapitals: {
        Browser browser(&server, kType);
        QSignalSpy added(&browser, &Browser::serviceAdded);
        Record ptr = ptrRecord("Relay");
        ptr.setName(kType.toUpper());
        Record srv = srvRecord("Relay", "a.local.", 4242);
        srv.setName("Relay." + kType.toUpper());
        server.deliver(response({ptr, srv}));
        QCOMPARE(added.count(), 1);
        QCOMPARE(added.first().at(0).value<Service>().name(), QByteArray("Relay"));
        // The same instance in another spelling is the same service.
        srv.setName("RELAY." + kType);
        srv.setPort(4343);
        QSignalSpy updated(&browser, &Browser::serviceUpdated);
        server.deliver(response({srv}));
        QCOMPARE(added.count(), 1);
        QCOMPARE(updated.count(), 1);
        break;
    }
    case HostnameConflict: {
        Hostname hostname(&server);
        Record taken;
        taken.setName(machineHostname().toUpper());
        taken.setType(A);
        taken.setAddress(QHostAddress("10.0.0.1"));
        server.deliver(response({taken}));
        QCOMPARE(hostname.hostName(), machineHostname(2));
        break;
    }
    case ProberConflict: {
        Prober prober(&server, srvRecord("box", "h.local.", 1));
        server.deliver(response({srvRecord("BOX", "other.local.", 2)}));
        QCOMPARE(server.sent.last().queries().at(0).name(), "box-2." + kType);
        break;
    }
    case ProviderQuestion: {
        Hostname hostname(&server);
        hostname.setTimeScale(kSpeed);
        Provider provider(&server, &hostname);
        provider.setTimeScale(kSpeed);
        Service service;
        service.setName("box");
        service.setType(kType);
        service.setPort(1);
        provider.publishService(service);
        QTRY_VERIFY_WITH_TIMEOUT(!server.sent.isEmpty() && server.sent.last().isResponse(), 30000);
        server.sent.clear();
        server.deliver(query("BOX." + kType.toUpper(), SRV));
        QCOMPARE(server.sent.size(), 1);
        QCOMPARE(describe(server.sent.at(0)), QStringList{"SRV box." + kType});
        break;
    }
    case CacheFlush: {
        Cache cache;
        Record a;
        a.setName("unit.local.");
        a.setType(A);
        a.setAddress(QHostAddress("10.0.0.1"));
        cache.insertRecord(a);
        a.setName("UNIT.local.");
        a.setAddress(QHostAddress("10.0.0.2"));
        a.setFlushCache(true);
        cache.insertRecord(a);
        QCOMPARE(cache.findRecords("Unit.Local.", A).size(), 1);
        QCOMPARE(cache.findRecords("unit.local.", A).at(0).address(), QHostAddress("10.0.0.2"));
        break;
    }
    }
}

enum OwnScenario { OwnHostAddress, IdenticalInstanceRecord, ReprobeAfterHostnameChange };
Q_DECLARE_METATYPE(OwnScenario)

void tst_MdnsResponders::ownRecordsAreNoConflict_data()
{
    QTest::addColumn<OwnScenario>("scenario");
    QTest::newRow("host name answered with our own address") << OwnHostAddress;
    QTest::newRow("instance answered with the very record we propose") << IdenticalInstanceRecord;
    QTest::newRow("instance re-probed after a host name change") << ReprobeAfterHostnameChange;
}

void tst_MdnsResponders::ownRecordsAreNoConflict()
{
    QFETCH(OwnScenario, scenario);
    FakeServer server;
    switch (scenario) {
    case OwnHostAddress: {
        Hostname hostname(&server);
        Record mine;
        mine.setName(machineHostname());
        mine.setType(A);
        mine.setAddress(QHostAddress::LocalHost);
        server.deliver(response({mine}));
        QCOMPARE(hostname.hostName(), machineHostname());
        break;
    }
    case IdenticalInstanceRecord: {
        Prober prober(&server, srvRecord("box", "h.local.", 1));
        server.deliver(response({srvRecord("box", "h.local.", 1)}));
        QCOMPARE(server.sent.last().queries().at(0).name(), "box." + kType);
        break;
    }
    case ReprobeAfterHostnameChange: {
        // Our host name is taken by another machine at the half-hourly re-check; the
        // instance follows the new host name and our own answers to its probe come back.
        server.loopback = true;
        Hostname hostname(&server);
        hostname.setTimeScale(kSpeed);
        Provider provider(&server, &hostname);
        provider.setTimeScale(kSpeed);
        Service service;
        service.setName("box");
        service.setType(kType);
        service.setPort(1);
        provider.publishService(service);
        auto announced = [&](const QByteArray &host) {
            for (const Message &m : qAsConst(server.sent)) {
                if (m.isResponse() && m.records().size() == 3 && m.records().at(1).target() == host)
                    return m.records().at(1).name();
            }
            return QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(announced(machineHostname()), "box." + kType, 30000);
        bool taken = false;
        server.onSend = [&](const Message &m) {
            if (!taken && !m.isResponse() && m.queries().value(0).name() == machineHostname()) {
                taken = true;
                Record other;
                other.setName(machineHostname());
                other.setType(A);
                other.setAddress(QHostAddress("10.9.9.9"));
                server.deliver(response({other}), QHostAddress("10.9.9.9"));
            }
        };
        hostname.setTimeScale(1000); // the half-hour re-check in 1.8 s
        QTRY_VERIFY_WITH_TIMEOUT(!announced(machineHostname(2)).isEmpty(), 30000);
        QCOMPARE(announced(machineHostname(2)), "box." + kType);
        break;
    }
    }
}

void tst_MdnsResponders::offerDuringRecheckIsPublished()
{
    // The service is handed over inside the two seconds in which the half-hourly
    // re-check of the (unchanged) host name runs.
    FakeServer server;
    Hostname hostname(&server);
    hostname.setTimeScale(kSpeed);
    QTRY_VERIFY_WITH_TIMEOUT(hostname.isConfirmed(), 30000);
    std::unique_ptr<Provider> provider;
    server.onSend = [&](const Message &m) {
        if (provider || m.isResponse() || hostname.isConfirmed())
            return;
        provider = std::make_unique<Provider>(&server, &hostname);
        provider->setTimeScale(kSpeed);
        Service service;
        service.setName("box");
        service.setType(kType);
        service.setPort(1);
        provider->publishService(service);
    };
    hostname.setTimeScale(1000); // the half-hour re-check in 1.8 s
    QTRY_VERIFY_WITH_TIMEOUT(provider, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(server.sent.last().isResponse() && describe(server.sent.last()).size() == 3, 30000);
    QCOMPARE(describe(server.sent.last()).at(1), "SRV box." + kType);
    QCOMPARE(server.sent.last().records().at(1).target(), machineHostname());
}

namespace {
QStringList g_log;
void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    g_log << text;
}
} // namespace

void tst_MdnsResponders::browserLogIsLimited()
{
    // A peer announces and withdraws 60 services within a second: 20 lines of each kind,
    // then one line that counts the rest.
    FakeServer server;
    MDNSBrowser strategy(&server);
    g_log.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collect);
    for (int i = 0; i < 60; ++i) {
        const QByteArray name = "s" + QByteArray::number(i);
        server.deliver(response({ptrRecord(name), srvRecord(name, "h.local.", 1)}));
    }
    for (int i = 0; i < 60; ++i)
        server.deliver(response({srvRecord("s" + QByteArray::number(i), "h.local.", 1, 0)}));
    const auto count = [](const QString &prefix) { return g_log.filter(QRegularExpression("^" + prefix)).size(); };
    QTRY_COMPARE_WITH_TIMEOUT(count("MDNSBrowser: onServiceRemoved … suppressed 40 similar lines$"), 1, 3000);
    qInstallMessageHandler(previous);
    QCOMPARE(count("MDNSBrowser: onServiceAdded … suppressed 40 similar lines$"), 1);
    QCOMPARE(count("MDNSBrowser: onServiceAdded"), 21);
    QCOMPARE(count("MDNSBrowser: onServiceRemoved"), 21);
}

void tst_MdnsResponders::floodCostsLittle_data()
{
    QTest::addColumn<QList<Message>>("datagrams");
    // Thousands of questions for our host name in one datagram.
    Message questions;
    for (int i = 0; i < 8000; ++i) {
        Query q;
        q.setName(machineHostname());
        q.setType(i % 2 ? A : ANY);
        questions.addQuery(q);
    }
    QTest::newRow("8000 questions for our host name") << QList<Message>{questions, questions, questions, questions};
    // Datagrams near 64 KB of unique services with large TXT records, enough to fill the cache.
    QList<Message> records;
    const QByteArray filler(250, 'x');
    for (int d = 0, n = 0; d < 60; ++d) {
        Message m;
        m.setResponse(true);
        for (int i = 0; i < 30; ++i, ++n) {
            const QByteArray name = "flood" + QByteArray::number(n);
            Record txt = txtRecord(name, {});
            for (int a = 0; a < 6; ++a)
                txt.addAttribute("k" + QByteArray::number(a), filler);
            m.addRecord(ptrRecord(name));
            m.addRecord(srvRecord(name, "f.local.", 1));
            m.addRecord(txt);
        }
        records << m;
    }
    QTest::newRow("64 KB datagrams of services") << records;
}

void tst_MdnsResponders::floodCostsLittle()
{
    QFETCH(QList<Message>, datagrams);
    // Everything that listens in a relay that also looks for units.
    FakeServer server;
    Hostname hostname(&server);
    hostname.setTimeScale(kSpeed);
    QTRY_VERIFY_WITH_TIMEOUT(hostname.isConfirmed(), 30000);
    Provider provider(&server, &hostname);
    Service service;
    service.setName("box");
    service.setType(kType);
    service.setPort(1);
    provider.publishService(service);
    Browser browser(&server, kType);
    Resolver resolver(&server, "vq6020.local.");
    QList<QByteArray> encoded;
    for (const Message &m : qAsConst(datagrams)) {
        encoded << encodeMessage(m);
        QVERIFY2(encoded.last().size() <= 65507, qPrintable(QString::number(encoded.last().size())));
    }
    // Reference, same run: decoding the datagrams, which any receiver has to do. Handling them may cost a small
    // multiple of that, not the hundreds of times a per-record scan or a per-question interface listing costs.
    QElapsedTimer timer;
    timer.start();
    QList<Message> decoded;
    for (const QByteArray &bytes : qAsConst(encoded)) {
        Message d;
        QVERIFY(decodeMessage(bytes, d));
        d.setAddress(QHostAddress("127.0.0.1"));
        d.setPort(MdnsPort);
        decoded << d;
    }
    const qint64 decodeNs = timer.nsecsElapsed();
    timer.restart();
    for (const Message &m : qAsConst(decoded))
        emit server.messageReceived(m);
    const qint64 handleNs = timer.nsecsElapsed();
    const double ratio = double(handleNs) / double(qMax<qint64>(decodeNs, 1));
    qInfo("%.2f ms per datagram, %.1fx decoding", double(handleNs) / 1e6 / decoded.size(), ratio);
    QVERIFY2(ratio < 10, qPrintable(QStringLiteral("%1x decoding").arg(ratio)));
}

void tst_MdnsResponders::refreshQueriesAreBatched()
{
    // 500 records that all reach their refresh point together.
    FakeServer server;
    Browser browser(&server, kType);
    Message m;
    m.setResponse(true);
    for (int i = 0; i < 500; ++i)
        m.addRecord(srvRecord("r" + QByteArray::number(i), "h.local.", 1, 1));
    server.deliver(m);
    server.sent.clear();
    QTest::qWait(700);
    int questions = 0;
    for (const Message &sent : qAsConst(server.sent)) {
        questions += sent.queries().size();
        QVERIFY(encodeMessage(sent).size() <= MdnsMaxMessageBytes);
    }
    QCOMPARE(questions, 500);
    QVERIFY2(server.sent.size() <= 20, qPrintable(QString::number(server.sent.size())));
}

void tst_MdnsResponders::answersArePaced_data()
{
    QTest::addColumn<Message>("question");
    QTest::addColumn<int>("intervalMs");
    const QByteArray full = "relay-one." + kType;
    QTest::newRow("instance SRV") << query(full, SRV) << 1000;
    QTest::newRow("instance pointer with its details") << query(kType, PTR) << 1000;
    QTest::newRow("host address") << query(machineHostname(), A) << 1000;
    QTest::newRow("ANY for our instance, without a claim") << query(full, ANY) << 1000;
    // Another responder probing our name must hear from us before its probe window ends.
    QTest::newRow("probe of our instance name") << query(full, ANY, {srvRecord("relay-one", "other.local.", 7)}) << 250;
    Record claim;
    claim.setName(machineHostname());
    claim.setType(A);
    claim.setAddress(QHostAddress("10.9.9.9"));
    QTest::newRow("probe of our host name") << query(machineHostname(), ANY, {claim}) << 250;
}

void tst_MdnsResponders::answersArePaced()
{
    QFETCH(Message, question);
    QFETCH(int, intervalMs);
    const auto answers = [this, &question](int interfaceIndex = 0, const char *from = "127.0.0.1") {
        m_server.sent.clear();
        m_server.deliver(question, QHostAddress(from), interfaceIndex);
        QStringList got;
        for (const Message &m : qAsConst(m_server.sent))
            got << describe(m);
        return got;
    };
    const QStringList first = answers();
    QVERIFY(!first.isEmpty());
    // A flood of the same question from one querier: answered once per interval, whatever the rate.
    for (int i = 0; i < 100; ++i)
        QCOMPARE(answers(), QStringList());
    m_clock.advance(intervalMs - 1);
    QCOMPARE(answers(), QStringList());
    m_clock.advance(1);
    QCOMPARE(answers(), first);
    // The limit is per link and per querier: the same question from another link, or from a
    // program that has just started on this one, is answered at once.
    QCOMPARE(answers(QNetworkInterface::interfaceIndexFromName("lo")), first);
    QCOMPARE(answers(0, "127.0.0.2"), first);
    QCOMPARE(answers(0, "127.0.0.2"), QStringList());
}

QTEST_GUILESS_MAIN(tst_MdnsResponders)
#include "tst_MdnsResponders.moc"
