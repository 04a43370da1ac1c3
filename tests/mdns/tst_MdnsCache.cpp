// The record cache: goodbyes, cache-flush replacement, the refresh points of a
// record's lifetime, and the bound that keeps a flood from growing it.
#include "discovery/mdns/Cache.h"
#include "discovery/mdns/Dns.h"

#include <QElapsedTimer>
#include <QtTest>

#include <malloc.h>

using namespace QMdnsEngine;

namespace {
Record address(const char *name, const char *ip, quint32 ttl = 120, bool flush = false)
{
    Record record;
    record.setName(name);
    record.setType(QHostAddress(QString::fromLatin1(ip)).protocol() == QAbstractSocket::IPv4Protocol ? A : AAAA);
    record.setAddress(QHostAddress(QString::fromLatin1(ip)));
    record.setTtl(ttl);
    record.setFlushCache(flush);
    return record;
}

QStringList addresses(const QList<Record> &records)
{
    QStringList result;
    for (const Record &record : records)
        result << record.address().toString();
    result.sort();
    return result;
}
} // namespace

class tst_MdnsCache : public QObject
{
    Q_OBJECT

private slots:
    void insert_data();
    void insert();
    void refreshAndExpiry();
    void boundedUnderFlood();
    void lookupWildcards();
    void boundedInBytes();
};

void tst_MdnsCache::insert_data()
{
    QTest::addColumn<QList<Record>>("records");
    QTest::addColumn<QStringList>("remaining");
    QTest::addColumn<QStringList>("expired");

    const QList<Record> twoA = {address("h.local.", "10.0.0.1"), address("h.local.", "10.0.0.2")};
    QTest::newRow("two addresses stay side by side") << twoA << QStringList{"10.0.0.1", "10.0.0.2"} << QStringList{};
    QTest::newRow("same record refreshed is kept once") << (twoA + QList<Record>{address("h.local.", "10.0.0.1", 4500)})
                                                        << QStringList{"10.0.0.1", "10.0.0.2"} << QStringList{};
    QTest::newRow("goodbye removes and reports") << (twoA + QList<Record>{address("h.local.", "10.0.0.2", 0)})
                                                 << QStringList{"10.0.0.1"} << QStringList{"10.0.0.2"};
    QTest::newRow("goodbye for an unknown record changes nothing")
        << (twoA + QList<Record>{address("h.local.", "10.0.0.9", 0)}) << QStringList{"10.0.0.1", "10.0.0.2"}
        << QStringList{};
    QTest::newRow("cache flush replaces every record of name and type")
        << (twoA + QList<Record>{address("h.local.", "10.0.0.3", 120, true)}) << QStringList{"10.0.0.3"}
        << QStringList{};
    QTest::newRow("cache flush leaves other types alone")
        << (twoA + QList<Record>{address("h.local.", "fe80::3", 120, true)})
        << QStringList{"10.0.0.1", "10.0.0.2", "fe80::3"} << QStringList{};
    QTest::newRow("cache flush leaves other names alone")
        << (twoA + QList<Record>{address("g.local.", "10.0.0.3", 120, true)})
        << QStringList{"10.0.0.1", "10.0.0.2", "10.0.0.3"} << QStringList{};
}

void tst_MdnsCache::insert()
{
    QFETCH(QList<Record>, records);
    QFETCH(QStringList, remaining);
    QFETCH(QStringList, expired);

    Cache cache;
    QSignalSpy expiredSpy(&cache, &Cache::recordExpired);
    QSignalSpy querySpy(&cache, &Cache::shouldQuery);
    for (const Record &record : records)
        cache.insertRecord(record);
    QCOMPARE(addresses(cache.findRecords(QByteArray(), ANY)), remaining);
    QStringList reported;
    for (const QList<QVariant> &args : qAsConst(expiredSpy))
        reported << args.at(0).value<Record>().address().toString();
    QCOMPARE(reported, expired);
    QCOMPARE(querySpy.count(), 0);
}

void tst_MdnsCache::refreshAndExpiry()
{
    // 20 times real speed: the 120 s of the record pass in 6 s.
    constexpr double kSpeed = 20.0;
    Cache cache;
    cache.setTimeScale(kSpeed);
    QElapsedTimer clock;
    QList<qint64> queries;
    qint64 expiredAt = -1;
    connect(&cache, &Cache::shouldQuery, this, [&](const Record &) { queries << qint64(clock.elapsed() * kSpeed); });
    connect(&cache, &Cache::recordExpired, this, [&](const Record &) { expiredAt = qint64(clock.elapsed() * kSpeed); });
    clock.start();
    cache.insertRecord(address("h.local.", "10.0.0.1", 120));

    QTRY_VERIFY_WITH_TIMEOUT(expiredAt >= 0, 15000);
    const QList<qint64> expected = {60000, 102000, 108000, 114000};
    QCOMPARE(queries.size(), expected.size());
    // Never early (up to the 20 ms of jitter and a millisecond of rounding), and
    // late by at most two cache seconds (100 ms of real time on a busy machine).
    for (int i = 0; i < expected.size(); ++i) {
        QVERIFY2(queries.at(i) >= expected.at(i) - kSpeed && queries.at(i) <= expected.at(i) + 2000,
                 qPrintable(QStringLiteral("refresh %1 at %2 ms").arg(i).arg(queries.at(i))));
    }
    QVERIFY2(expiredAt >= 120000 - kSpeed && expiredAt <= 122000, qPrintable(QString::number(expiredAt)));
    QCOMPARE(cache.count(), 0);
}

void tst_MdnsCache::boundedUnderFlood()
{
    Cache cache;
    QSignalSpy expiredSpy(&cache, &Cache::recordExpired);
    // 100 short-lived records, then more long-lived ones than the cache holds.
    for (int i = 0; i < 100; ++i)
        cache.insertRecord(address("short.local.", qPrintable(QStringLiteral("10.1.0.%1").arg(i)), 10));
    const int flood = Cache::maxRecords() + 500;
    for (int i = 0; i < flood; ++i) {
        cache.insertRecord(
            address("flood.local.", qPrintable(QStringLiteral("10.2.%1.%2").arg(i / 250).arg(i % 250)), 4500 + i));
    }
    QCOMPARE(cache.count(), Cache::maxRecords());
    // The records closest to their end left first: all short ones, then the
    // flood's oldest.
    QCOMPARE(cache.findRecords("short.local.", ANY).size(), 0);
    QCOMPARE(expiredSpy.count(), 100 + flood - Cache::maxRecords());
    Record newest;
    QVERIFY(cache.findRecord("flood.local.", A, newest));
    const QList<Record> kept = cache.findRecords("flood.local.", A);
    for (const Record &record : kept)
        QVERIFY(record.ttl() >= quint32(4500 + flood - Cache::maxRecords()));
}

void tst_MdnsCache::lookupWildcards()
{
    Cache cache;
    cache.insertRecord(address("h.local.", "10.0.0.1"));
    cache.insertRecord(address("h.local.", "fe80::1"));
    cache.insertRecord(address("g.local.", "10.0.0.2"));
    QCOMPARE(addresses(cache.findRecords("h.local.", ANY)), (QStringList{"10.0.0.1", "fe80::1"}));
    QCOMPARE(addresses(cache.findRecords(QByteArray(), A)), (QStringList{"10.0.0.1", "10.0.0.2"}));
    QCOMPARE(addresses(cache.findRecords("g.local.", AAAA)), QStringList{});
    Record record;
    QVERIFY(!cache.findRecord("x.local.", ANY, record));
    QVERIFY(cache.findRecord("g.local.", ANY, record));
    QCOMPARE(record.address(), QHostAddress("10.0.0.2"));
}

void tst_MdnsCache::boundedInBytes()
{
    // Large TXT records, each a few KB on the wire and far more in memory, arriving
    // with ever longer lifetimes: the process must not grow by more than a few MiB,
    // and what leaves is the oldest to expire, reported as expiry.
    const int kRecords = 400;
    QList<QByteArray> names;
    Cache cache;
    // Only the names: a spy would keep the evicted records themselves alive.
    QList<QByteArray> expired;
    connect(&cache, &Cache::recordExpired, this, [&expired](const Record &r) { expired << r.name(); });
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kRecords; ++i) {
        Record txt;
        names << "big" + QByteArray::number(i) + "._x._tcp.local.";
        txt.setName(names.last());
        txt.setType(TXT);
        txt.setTtl(quint32(1000 + i));
        for (int a = 0; a < 800; ++a)
            txt.addAttribute("k" + QByteArray::number(a), "v");
        cache.insertRecord(txt);
    }
    const double grownMiB = double(qint64(mallinfo2().uordblks) - qint64(before)) / (1024 * 1024);
    QVERIFY2(grownMiB < 16, qPrintable(QStringLiteral("%1 MiB").arg(grownMiB)));
    QVERIFY(expired.count() > 0);
    QCOMPARE(cache.count() + expired.count(), kRecords);
    QCOMPARE(expired, names.mid(0, expired.count()));
    QCOMPARE(cache.findRecords(names.last(), TXT).size(), 1);
}

QTEST_GUILESS_MAIN(tst_MdnsCache)
#include "tst_MdnsCache.moc"
