// The locator as the controller and the relay use it: which strategy each request runs, what it
// logs, and when it ends.
#include "support/LogCapture.h"
#include "support/ReferenceTimer.h"

#include "app/SettingsKeys.h"
#include "discovery/LocatorConfig.h"
#include "discovery/LocatorSettings.h"
#include "discovery/VQ6020Locator.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTest>

namespace {

// Ten times real speed: a five-second time-out takes half a second.
constexpr double kSpeed = 10;

struct Entry {
    LocatorType type;
    int prio;
    bool checked;
    QString extended;
};

void store(const QList<Entry> &entries)
{
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.clear();
    for (const Entry &e : entries) {
        alterLocatorPriority(s, e.type, e.prio);
        alterLocatorEnable(s, e.type, e.checked);
        if (!e.extended.isNull())
            alterExtendedPriority(s, e.type, e.extended);
    }
    s.sync();
}

} // namespace

Q_DECLARE_METATYPE(QList<Entry>)

class tst_Locator : public QObject
{
    Q_OBJECT
private slots:
    void defaultConfiguration();
    void configFromStore_data();
    void configFromStore();
    void writersLogWhatTheyStore_data();
    void writersLogWhatTheyStore();
    void requests_data();
    void requests();
    void busyRequestIsRefused();
    void settingsChangeRestartsTheOrder();
};

void tst_Locator::defaultConfiguration()
{
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.clear();
    const LocatorConfig c = LocatorConfig::load(s);
    const QMap<int, LocatorType> order{{0, LOC_PROXY_MDNS}, {1, LOC_DIRECT_MDNS}, {2, LOC_IP}, {3, LOC_DNS}};
    const QMap<LocatorType, bool> enabled{
        {LOC_PROXY_MDNS, true}, {LOC_DIRECT_MDNS, true}, {LOC_IP, false}, {LOC_DNS, false}};
    QCOMPARE(c.order, order);
    QCOMPARE(c.enabled, enabled);
    QCOMPARE(extendedSetting(s, LOC_IP, "0.0.0.0"), QStringLiteral("0.0.0.0"));
    QCOMPARE(locatorKeyName(LOC_DIRECT_MDNS), QStringLiteral("LOC_DIRECT_MDNS"));
}

void tst_Locator::configFromStore_data()
{
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<QList<int>>("positions");
    QTest::addColumn<QList<int>>("types");

    QTest::newRow("user order") << QList<Entry>{{LOC_IP, 0, true, {}},
                                                {LOC_DNS, 1, true, {}},
                                                {LOC_PROXY_MDNS, 2, false, {}},
                                                {LOC_DIRECT_MDNS, 3, false, {}}}
                                << QList<int>{0, 1, 2, 3}
                                << QList<int>{LOC_IP, LOC_DNS, LOC_PROXY_MDNS, LOC_DIRECT_MDNS};
    // Read order is PROXY, DIRECT, IP, DNS: on a shared position the one read later stays.
    QTest::newRow("shared position") << QList<Entry>{{LOC_IP, 0, true, {}},
                                                     {LOC_DNS, 0, true, {}},
                                                     {LOC_PROXY_MDNS, 0, false, {}},
                                                     {LOC_DIRECT_MDNS, 3, false, {}}}
                                     << QList<int>{0, 3} << QList<int>{LOC_DNS, LOC_DIRECT_MDNS};
}

void tst_Locator::configFromStore()
{
    QFETCH(QList<Entry>, entries);
    QFETCH(QList<int>, positions);
    QFETCH(QList<int>, types);
    store(entries);
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    const LocatorConfig c = LocatorConfig::load(s);
    QCOMPARE(c.order.keys(), positions);
    QList<int> gotTypes;
    for (LocatorType t : c.order)
        gotTypes.append(int(t));
    QCOMPARE(gotTypes, types);
    QCOMPARE(c.enabled.size(), 4);
    QVERIFY(c == LocatorConfig::load(s));
    LocatorConfig other = c;
    other.enabled[LOC_IP] = !other.enabled[LOC_IP];
    QVERIFY(other != c);
}

void tst_Locator::writersLogWhatTheyStore_data()
{
    QTest::addColumn<int>("writer");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("line");
    QTest::newRow("priority") << 0 << "connectPrio/LOC_DNS/prio"
                              << "alterLocatorPriority connectPrio/LOC_DNS/prio set to 2";
    QTest::newRow("enable") << 1 << "connectPrio/LOC_IP/checked"
                            << "alterLocatorEnable connectPrio/LOC_IP/checked set to true";
    QTest::newRow("extended") << 2 << "connectPrio/LOC_IP/extended"
                              << "alterExtendedPriority connectPrio/LOC_IP/extended set to 10.0.0.7";
}

void tst_Locator::writersLogWhatTheyStore()
{
    QFETCH(int, writer);
    QFETCH(QString, key);
    QFETCH(QString, line);
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.clear();
    LogCapture log;
    switch (writer) {
    case 0:
        alterLocatorPriority(s, LOC_DNS, 2);
        QCOMPARE(s.value(key).toInt(), 2);
        break;
    case 1:
        alterLocatorEnable(s, LOC_IP, true);
        QCOMPARE(s.value(key).toBool(), true);
        break;
    default:
        alterExtendedPriority(s, LOC_IP, "10.0.0.7");
        QCOMPARE(extendedSetting(s, LOC_IP, "0.0.0.0"), QStringLiteral("10.0.0.7"));
        break;
    }
    QCOMPARE(log.lines().filter(line).size(), 1);
}

void tst_Locator::requests_data()
{
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<bool>("proxyServer");
    QTest::addColumn<bool>("resetsEachRequest");
    QTest::addColumn<QStringList>("strategies"); // the "Lookup strategy" line of each request, or "-" for none
    QTest::addColumn<QStringList>("outcomes");   // located address text, or "timeout"
    QTest::addColumn<QList<int>>("durationsMs"); // nominal time to the outcome: 0 (no wait), 1000 or 5000
    QTest::addColumn<QStringList>("alsoLogged");

    const QString ip = "VQ6020Locator: Lookup strategy LOC_IP is true [ %1 ]";
    const QString dns = "VQ6020Locator: Lookup strategy LOC_DNS is true [ %1 ]";

    const QString proxy = "VQ6020Locator: Lookup strategy LOC_PROXY_MDNS is true [ %1 ]";
    const QString direct = "VQ6020Locator: Lookup strategy LOC_DIRECT_MDNS is true [ %1 ]";
    // Out of the box: no relay known (1 s), no unit answering (5 s), then the relay search again.
    QTest::newRow("defaults alternate between the mDNS searches")
        << QList<Entry>{} << false << false << QStringList{proxy.arg(0), direct.arg(1), proxy.arg(0)}
        << QStringList{"timeout", "timeout", "timeout"} << QList<int>{1000, 5000, 1000} << QStringList{};
    // Position 3 has no entry: the walk takes it as the unit's own host name search.
    QTest::newRow("gap in the positions")
        << QList<Entry>{{LOC_PROXY_MDNS, 0, false, {}},
                        {LOC_IP, 1, false, {}},
                        {LOC_DNS, 2, false, {}},
                        {LOC_DIRECT_MDNS, 5, true, {}}}
        << false << true << QStringList{direct.arg(3)} << QStringList{"timeout"} << QList<int>{5000} << QStringList{};
    QTest::newRow("time-outs alternate, disabled positions skipped")
        << QList<Entry>{{LOC_IP, 0, true, "0.0.0.0"},
                        {LOC_DNS, 1, true, ""},
                        {LOC_PROXY_MDNS, 2, false, {}},
                        {LOC_DIRECT_MDNS, 3, false, {}}}
        << false << false << QStringList{ip.arg(0), dns.arg(1), ip.arg(0)}
        << QStringList{"timeout", "timeout", "timeout"} << QList<int>{1000, 5000, 1000}
        << QStringList{"SavedIPLocator: Did not find IP a non-AnyIPv4 address in settings. 0.0.0.0",
                       "DnsLookup: Got 0  addresses, used, expected nonzero", "DnsLookup: DNS Timeout"};
    QTest::newRow("a success is tried again first")
        << QList<Entry>{{LOC_IP, 0, true, "127.0.0.1"},
                        {LOC_DNS, 1, true, "localhost"},
                        {LOC_PROXY_MDNS, 2, false, {}},
                        {LOC_DIRECT_MDNS, 3, false, {}}}
        << false << false << QStringList{ip.arg(0), ip.arg(0)} << QStringList{"127.0.0.1", "127.0.0.1"}
        << QList<int>{0, 0}
        << QStringList{"SavedIPLocator: Have saved IP: 127.0.0.1", "VQ6020Locator: Lookup Query Found: 127.0.0.1"};
    QTest::newRow("dns name from the system resolver")
        << QList<Entry>{{LOC_DNS, 0, true, "localhost"},
                        {LOC_IP, 1, false, {}},
                        {LOC_PROXY_MDNS, 2, false, {}},
                        {LOC_DIRECT_MDNS, 3, false, {}}}
        << false << false << QStringList{dns.arg(0)} << QStringList{"loopback"} << QList<int>{0}
        << QStringList{"DnsLookup: Send request for localhost", "  addresses, used "};
    QTest::newRow("saved text that is no address")
        << QList<Entry>{{LOC_IP, 0, true, "unit.example"},
                        {LOC_DNS, 1, false, {}},
                        {LOC_PROXY_MDNS, 2, false, {}},
                        {LOC_DIRECT_MDNS, 3, false, {}}}
        << false << false << QStringList{ip.arg(0)} << QStringList{""} << QList<int>{0}
        << QStringList{"SavedIPLocator: Have saved IP: unit.example"};
    QTest::newRow("nothing enabled")
        << QList<Entry>{{LOC_IP, 0, false, {}},
                        {LOC_DNS, 1, false, {}},
                        {LOC_PROXY_MDNS, 2, false, {}},
                        {LOC_DIRECT_MDNS, 3, false, {}}}
        << false << false << QStringList{"-", "-"} << QStringList{"timeout", "timeout"} << QList<int>{5000, 5000}
        << QStringList{"VQ6020Locator: No search strategies are specified, check settings to ensure something is "
                       "checked."};
    // Only reachable with positions written outside the preferences dialog: the request must end
    // rather than leave the locator busy for good.
    QTest::newRow("enabled entry beyond the walk")
        << QList<Entry>{{LOC_DNS, 9, true, "localhost"},
                        {LOC_IP, 0, false, {}},
                        {LOC_PROXY_MDNS, 1, false, {}},
                        {LOC_DIRECT_MDNS, 2, false, {}}}
        << false << true << QStringList{"-", "-"} << QStringList{"timeout", "timeout"} << QList<int>{5000, 5000}
        << QStringList{"VQ6020Locator: No enabled search strategy reached"};
    QTest::newRow("relay ignores the local relay search")
        << QList<Entry>{{LOC_PROXY_MDNS, 0, true, {}},
                        {LOC_DIRECT_MDNS, 1, false, {}},
                        {LOC_IP, 2, true, "10.1.2.3"},
                        {LOC_DNS, 3, false, {}}}
        << true << true << QStringList{ip.arg(2), ip.arg(2)} << QStringList{"10.1.2.3", "10.1.2.3"} << QList<int>{0, 0}
        << QStringList{"VQ6020Locator: We are in Proxy Server setting, but connection preferences indicate we should "
                       "find a local proxy to connect. Ignoring setting"};
}

void tst_Locator::requests()
{
    QFETCH(QList<Entry>, entries);
    QFETCH(bool, proxyServer);
    QFETCH(bool, resetsEachRequest);
    QFETCH(QStringList, strategies);
    QFETCH(QStringList, outcomes);
    QFETCH(QList<int>, durationsMs);
    QFETCH(QStringList, alsoLogged);

    store(entries);
    LogCapture log;
    VQ6020Locator locator;
    locator.setTimeScale(kSpeed);
    if (proxyServer)
        locator.setProxyServerMode();
    QList<QHostAddress> located;
    int timedOut = 0;
    connect(&locator, &VQ6020Locator::located, this, [&](const QHostAddress &a) { located.append(a); });
    connect(&locator, &VQ6020Locator::timeout, this, [&] { ++timedOut; });

    for (int i = 0; i < strategies.size(); ++i) {
        const int mark = log.lines().size();
        located.clear();
        timedOut = 0;
        // A request that waits ends exactly after its wait: not before it, and before anything longer.
        WaitBracket wait(durationsMs[i], kSpeed);
        const QMetaObject::Connection a = connect(&locator, &VQ6020Locator::located, this, [&] { wait.ended(); });
        const QMetaObject::Connection b = connect(&locator, &VQ6020Locator::timeout, this, [&] { wait.ended(); });
        locator.find();
        wait.started();
        QVERIFY(QTest::qWaitFor([&] { return !locator.isBusy(); }, 30000));
        disconnect(a);
        disconnect(b);
        if (durationsMs[i] > 0) {
            QVERIFY2(!wait.early(), qPrintable(QStringLiteral("request %1 ended early").arg(i)));
            QVERIFY2(!wait.late(), qPrintable(QStringLiteral("request %1 ended late").arg(i)));
        }

        const QStringList requestLog = log.lines().mid(mark);
        const QStringList lines = requestLog.filter("VQ6020Locator: Lookup strategy");
        QCOMPARE(lines, strategies[i] == "-" ? QStringList() : QStringList{strategies[i]});
        // Only the first request after a settings change resets, unless the working copy can never
        // equal the store (relay mode; entries the walk had to add).
        const bool resetExpected = i == 0 || resetsEachRequest;
        QCOMPARE(!requestLog.filter("VQ6020Locator: Connection settings changed since last find, resetting").isEmpty(),
                 resetExpected);

        if (outcomes[i] == "timeout") {
            QCOMPARE(timedOut, 1);
            QCOMPARE(located.size(), 0);
            QVERIFY(locator.isTimedOut());
            QVERIFY(!locator.isLocated());
            QVERIFY(!requestLog.filter("VQ6020Locator: Query Timeout").isEmpty());
        } else {
            QCOMPARE(located.size(), 1);
            QCOMPARE(timedOut, 0);
            QVERIFY(locator.isLocated());
            const QHostAddress address = located[0];
            QCOMPARE(locator.locatedAddress(), address);
            if (outcomes[i] == "loopback")
                QVERIFY2(address.isLoopback(), qPrintable(address.toString()));
            else
                QCOMPARE(address.toString(), outcomes[i]);
        }
    }
    for (const QString &line : alsoLogged)
        QVERIFY2(log.contains(line), qPrintable(line + "\n---\n" + log.lines().join('\n')));
}

void tst_Locator::busyRequestIsRefused()
{
    store({{LOC_IP, 0, true, "0.0.0.0"},
           {LOC_DNS, 1, false, {}},
           {LOC_PROXY_MDNS, 2, false, {}},
           {LOC_DIRECT_MDNS, 3, false, {}}});
    LogCapture log;
    VQ6020Locator locator;
    locator.setTimeScale(kSpeed);
    QSignalSpy timedOut(&locator, &VQ6020Locator::timeout);
    locator.find();
    locator.find();
    QCOMPARE(log.count("VQ6020Locator: Error, attempting to locate while locate in progress."), 1);
    QVERIFY(timedOut.wait(30000));
    // The refused request started no second wait: nothing more ends within another one.
    const ReferenceTimer again(scaledInterval(1000, kSpeed));
    QVERIFY(QTest::qWaitFor([&] { return again.fired(); }, 30000));
    QCOMPARE(timedOut.size(), 1);
    QCOMPARE(log.count("VQ6020Locator: Lookup strategy"), 1);
}

void tst_Locator::settingsChangeRestartsTheOrder()
{
    store({{LOC_IP, 0, true, "0.0.0.0"},
           {LOC_DNS, 1, true, "localhost"},
           {LOC_PROXY_MDNS, 2, false, {}},
           {LOC_DIRECT_MDNS, 3, false, {}}});
    LogCapture log;
    VQ6020Locator locator;
    locator.setTimeScale(kSpeed);
    QSignalSpy timedOut(&locator, &VQ6020Locator::timeout);
    locator.find();
    QVERIFY(timedOut.wait(30000)); // LOC_IP at 0 timed out: the next request would run position 1
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    alterExtendedPriority(s, LOC_IP, "192.0.2.1"); // not part of the order: no reset
    alterLocatorEnable(s, LOC_PROXY_MDNS, false);  // unchanged value: no reset
    log.clear();
    locator.find();
    QVERIFY(QTest::qWaitFor([&] { return !locator.isBusy(); }, 30000));
    QCOMPARE(log.matching("Lookup strategy"), QStringList{"VQ6020Locator: Lookup strategy LOC_DNS is true [ 1 ]"});
    alterLocatorPriority(s, LOC_PROXY_MDNS, 2);
    alterLocatorEnable(s, LOC_DNS, false); // a change: back to position 0
    log.clear();
    locator.find();
    QVERIFY(QTest::qWaitFor([&] { return !locator.isBusy(); }, 30000));
    QVERIFY(log.contains("VQ6020Locator: Connection settings changed since last find, resetting"));
    QCOMPARE(log.matching("Lookup strategy"), QStringList{"VQ6020Locator: Lookup strategy LOC_IP is true [ 0 ]"});
    QCOMPARE(locator.locatedAddress().toString(), QStringLiteral("192.0.2.1"));
}

QTEST_MAIN(tst_Locator)
#include "tst_Locator.moc"
