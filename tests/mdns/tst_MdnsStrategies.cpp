// The two mDNS locator strategies and the relay advertisement, on real multicast
// in a namespace of their own: what they log, what they report and when.
#include "discovery/MDNSBrowser.h"
#include "discovery/MDNSHostnameLookup.h"
#include "discovery/OfferProxy.h"
#include "discovery/UnitHostname.h"
#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Server.h"
#include "support/LogCapture.h"
#include "support/ReferenceTimer.h"

#include <QSysInfo>
#include <QtTest>

Q_DECLARE_METATYPE(QHostAddress)

using namespace QMdnsEngine;

namespace {
// Answers address queries for one name with a fixed set of addresses, as a unit
// (or a misconfigured one) would.
class Responder : public QObject
{
public:
    Responder(const QByteArray &name, const QStringList &addresses) : m_name(name)
    {
        connect(&m_server, &AbstractServer::messageReceived, this, [this, addresses](const Message &message) {
            if (message.isResponse())
                return;
            bool asked = false;
            for (const Query &query : message.queries())
                asked = asked || (query.name() == m_name && (query.type() == A || query.type() == AAAA));
            if (!asked)
                return;
            ++queries;
            Message reply;
            reply.reply(message);
            for (const QString &text : addresses) {
                Record record;
                record.setName(m_name);
                record.setAddress(QHostAddress(text));
                record.setType(record.address().protocol() == QAbstractSocket::IPv4Protocol ? A : AAAA);
                record.setTtl(120);
                reply.addRecord(record);
            }
            m_server.sendToGroups(reply);
        });
    }
    int queries = 0;

private:
    QByteArray m_name;
    Server m_server;
};

// Five times real speed: answers on loopback still come long before a shortened time-out.
constexpr double kSpeed = 5;

QByteArray machineHostname()
{
    return QSysInfo::machineHostName().toUtf8().replace('.', '-') + ".local.";
}
} // namespace

class tst_MdnsStrategies : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QHostAddress>(); }
    void hostnameLookup_data();
    void hostnameLookup();
    void successiveLookupsQueryOnce();
    void browserWithoutRelayTimesOut();
    void browserFindsOfferedRelay();
    void offerProxyLogsOnlyProductRecords();
};

void tst_MdnsStrategies::hostnameLookup_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("located");
    QTest::addColumn<int>("ipv6Lines");

    QTest::newRow("IPv4 only") << QStringList{"10.77.0.9"} << "10.77.0.9" << 0;
    QTest::newRow("IPv6 only times out") << QStringList{"fe80::9"} << QString() << 1;
    QTest::newRow("IPv6 first, then IPv4") << QStringList{"fe80::9", "10.77.0.9"} << "10.77.0.9" << 1;
    // The resolver lives on after a success, so a later IPv6 answer is still reported as ignored.
    QTest::newRow("IPv4 first, then IPv6") << QStringList{"10.77.0.9", "fe80::9"} << "10.77.0.9" << 1;
    QTest::newRow("nobody answers") << QStringList{} << QString() << 0;
}

void tst_MdnsStrategies::hostnameLookup()
{
    QFETCH(QStringList, answers);
    QFETCH(QString, located);
    QFETCH(int, ipv6Lines);

    Responder responder(kUnitMdnsHostname, answers);
    Server server;
    MDNSHostnameLookup lookup(&server);
    lookup.setTimeScale(kSpeed);
    QSignalSpy locatedSpy(&lookup, &LocatorStrategy::located);
    QSignalSpy timeoutSpy(&lookup, &LocatorStrategy::timeout);
    LogCapture log;
    WaitBracket wait(5000, kSpeed);
    connect(&lookup, &LocatorStrategy::timeout, this, [&] { wait.ended(); });
    lookup.startLookup();
    wait.started();
    QVERIFY(log.contains("MDNSHostnameLookup: Send request for vq6020.local."));

    if (located.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(timeoutSpy.count(), 1, 30000);
        QVERIFY(!wait.early());
        QVERIFY(!wait.late());
        QVERIFY(lookup.isTimedOut());
        QVERIFY(!lookup.isLocated());
        QCOMPARE(locatedSpy.count(), 0);
        QCOMPARE(log.count("MDNSHostnameLookup: Timeout"), 1);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(locatedSpy.count(), 1, 3000);
        QCOMPARE(locatedSpy.first().at(0).value<QHostAddress>(), QHostAddress(located));
        QVERIFY(lookup.isLocated());
        QCOMPARE(lookup.locatedAddress(), QHostAddress(located));
        QVERIFY(log.contains("MDNSHostnameLookup: Response: " + located));
        // The lookup ended: its time-out does not fire afterwards.
        QTRY_VERIFY_WITH_TIMEOUT(wait.over(), 30000);
        QCOMPARE(timeoutSpy.count(), 0);
    }
    QCOMPARE(log.count("MDNSHostnameLookup: Got an IPv6 Reponse, but IPv6 is ignored: fe80::9"), ipv6Lines);
    QCOMPARE(responder.queries, 1);
}

void tst_MdnsStrategies::successiveLookupsQueryOnce()
{
    Responder responder("other.local.", {"10.77.0.7"});
    Server server;
    MDNSHostnameLookup lookup(&server);
    lookup.changeQueryHostname("other.local.");
    QSignalSpy locatedSpy(&lookup, &LocatorStrategy::located);
    lookup.startLookup();
    QTRY_COMPARE(locatedSpy.count(), 1);
    lookup.startLookup();
    QTRY_COMPARE(locatedSpy.count(), 2);
    QTest::qWait(300);
    // One query per lookup, and the first resolver no longer reports anything.
    QCOMPARE(responder.queries, 2);
    QCOMPARE(locatedSpy.count(), 2);
}

void tst_MdnsStrategies::browserWithoutRelayTimesOut()
{
    Responder responder(machineHostname(), {"10.77.0.8"});
    Server server;
    MDNSBrowser browser(&server);
    browser.setTimeScale(kSpeed);
    QSignalSpy timeoutSpy(&browser, &LocatorStrategy::timeout);
    LogCapture log;
    // One second without a relay known.
    WaitBracket wait(1000, kSpeed);
    connect(&browser, &LocatorStrategy::timeout, this, [&] { wait.ended(); });
    browser.startLookup();
    wait.started();
    QTRY_COMPARE_WITH_TIMEOUT(timeoutSpy.count(), 1, 30000);
    QVERIFY(!wait.early());
    QVERIFY(!wait.late());
    QVERIFY(browser.isTimedOut());
    QVERIFY(log.contains("MDNSBrowser: startLookup"));
    QVERIFY(!log.contains("Send request for"));
    QCOMPARE(responder.queries, 0);
}

void tst_MdnsStrategies::browserFindsOfferedRelay()
{
    LogCapture log;
    Server server;
    MDNSBrowser browser(&server);
    browser.setTimeScale(kSpeed);
    QSignalSpy locatedSpy(&browser, &LocatorStrategy::located);
    auto *relay = new OfferProxy;
    relay->setTimeScale(kSpeed);
    relay->offer();
    QVERIFY(log.contains("OfferProxy: Offer serivce."));
    const QString hostname = QString::fromUtf8(machineHostname());
    // Host name registration and the instance probe come first.
    QVERIFY(log.waitFor("OfferProxy: Hostname changed " + hostname, 30000));
    const QString added =
        "MDNSBrowser: onServiceAdded Service(name: _vq6020, type: _fernholow._tcp.local., hostname: " + hostname +
        ", port: 4242, attributes: QMap())";
    QVERIFY2(log.waitFor(added, 6000), qPrintable(log.matching("MDNSBrowser").join('\n')));

    browser.startLookup();
    QTRY_COMPARE_WITH_TIMEOUT(locatedSpy.count(), 1, 3000);
    QVERIFY(log.contains("MDNSBrowser: Have hostname from browser " + hostname));
    // On loopback the relay's host name answers with the loopback address.
    QCOMPARE(locatedSpy.first().at(0).value<QHostAddress>(), QHostAddress("127.0.0.1"));
    QVERIFY(log.contains("MDNSBrowser: internalLocated: 127.0.0.1"));
    QVERIFY(browser.isLocated());

    // The relay going away says goodbye; the browser forgets it at once.
    delete relay;
    QVERIFY(log.waitFor("MDNSBrowser: onServiceRemoved Service(name: _vq6020", 3000));
    QSignalSpy timeoutSpy(&browser, &LocatorStrategy::timeout);
    browser.startLookup();
    QTRY_COMPARE_WITH_TIMEOUT(timeoutSpy.count(), 1, 3000);
}

void tst_MdnsStrategies::offerProxyLogsOnlyProductRecords()
{
    OfferProxy relay;
    Server peer;
    LogCapture log;
    Message message;
    message.setResponse(true);
    const QList<QPair<quint16, QByteArray>> records = {{A, "vq6020.local."},
                                                       {PTR, "_http._tcp.local."},
                                                       {SRV, "printer._ipp._tcp.local."},
                                                       {TXT, "x._fernholow._tcp.local."},
                                                       {13, "vq6020-box.local."},
                                                       {A, "VQ6020.local."}};
    for (const auto &entry : records) {
        Record record;
        record.setType(entry.first);
        record.setName(entry.second);
        record.setAddress(QHostAddress("10.77.0.5"));
        message.addRecord(record);
    }
    peer.sendToGroups(message);
    QVERIFY(log.waitFor("OfferProxy: [?] vq6020-box.local.", 3000));
    const QStringList expected = {"OfferProxy: [A] vq6020.local.", "OfferProxy: [TXT] x._fernholow._tcp.local.",
                                  "OfferProxy: [?] vq6020-box.local."};
    // Each record appears once per datagram heard (IPv4 and IPv6 copies may both arrive).
    QStringList lines = log.matching("OfferProxy: [");
    lines.removeDuplicates();
    QCOMPARE(lines, expected);
}

QTEST_GUILESS_MAIN(tst_MdnsStrategies)
#include "tst_MdnsStrategies.moc"
