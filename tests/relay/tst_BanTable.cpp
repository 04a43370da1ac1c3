#include "relay/BanTable.h"
#include "support/ManualClock.h"

#include <QtTest>

class TestBanTable : public QObject
{
    Q_OBJECT
private slots:
    void banLengths_data()
    {
        QTest::addColumn<int>("failures");
        QTest::addColumn<qint64>("lastBanSeconds");
        QTest::newRow("four are free") << 4 << qint64(0);
        QTest::newRow("the fifth bans for 10 s") << 5 << qint64(10);
        QTest::newRow("the sixth for 20 s") << 6 << qint64(20);
        QTest::newRow("the seventh for 30 s") << 7 << qint64(30);
    }
    void banLengths()
    {
        QFETCH(int, failures);
        QFETCH(qint64, lastBanSeconds);
        ManualClock clock;
        BanTable bans(&clock);
        const QHostAddress a(QStringLiteral("192.0.2.7"));
        qint64 last = -1;
        for (int i = 0; i < failures; ++i)
            last = bans.countFailure(a);
        QCOMPARE(last, lastBanSeconds);
        QString notice;
        QCOMPARE(bans.isBanned(a, &notice), lastBanSeconds > 0);
        if (lastBanSeconds > 0) {
            QCOMPARE(notice, QStringLiteral("Host 192.0.2.7 is banned, remaining time %1s").arg(lastBanSeconds));
            clock.advance(lastBanSeconds * 1000 - 1);
            QVERIFY(bans.isBanned(a, &notice));
            QCOMPARE(notice, QStringLiteral("Host 192.0.2.7 is banned, remaining time 0.001s"));
            clock.advance(1);
            QVERIFY(!bans.isBanned(a, &notice));
        }
        // A good key clears the count: the next failures are free again.
        bans.clear(a);
        QCOMPARE(bans.countFailure(a), qint64(0));
        QVERIFY(!bans.isBanned(a, nullptr));
    }

    void noticeOncePerSecond()
    {
        ManualClock clock;
        BanTable bans(&clock);
        const QHostAddress a(QStringLiteral("192.0.2.7"));
        for (int i = 0; i < 5; ++i)
            bans.countFailure(a);
        QString notice;
        int notices = 0;
        for (int ms = 0; ms < 3000; ms += 100, clock.advance(100)) {
            QVERIFY(bans.isBanned(a, &notice));
            notices += !notice.isEmpty();
        }
        QCOMPARE(notices, 3);
    }

    // The key is the address itself: a mapped IPv4 address is that IPv4 host, and IPv6 neighbours
    // (whose 32-bit hashes an attacker could make collide) stay apart.
    void keyedByAddress_data()
    {
        QTest::addColumn<QString>("offender");
        QTest::addColumn<QString>("other");
        QTest::addColumn<bool>("same");
        QTest::newRow("mapped IPv4") << "::ffff:192.0.2.7"
                                     << "192.0.2.7" << true;
        QTest::newRow("IPv6 neighbour") << "2001:db8::1"
                                        << "2001:db8::2" << false;
        QTest::newRow("IPv4 neighbour") << "192.0.2.7"
                                        << "192.0.2.8" << false;
    }
    void keyedByAddress()
    {
        QFETCH(QString, offender);
        QFETCH(QString, other);
        QFETCH(bool, same);
        ManualClock clock;
        BanTable bans(&clock);
        for (int i = 0; i < 5; ++i)
            bans.countFailure(QHostAddress(offender));
        QCOMPARE(bans.isBanned(QHostAddress(other), nullptr), same);
    }

    // An IPv6 sender picks, out of its own /64, an address whose 32-bit hash equals the victim's.
    void hashCollisionSparesTheVictim()
    {
        QHash<uint, QHostAddress> seen;
        QHostAddress victim, attacker;
        Q_IPV6ADDR bytes = QHostAddress(QStringLiteral("2001:db8::")).toIPv6Address();
        for (quint32 i = 0; attacker.isNull() && i < 2000000; ++i) {
            bytes[12] = quint8(i >> 24), bytes[13] = quint8(i >> 16), bytes[14] = quint8(i >> 8), bytes[15] = quint8(i);
            const QHostAddress a(bytes);
            const uint h = qHash(a, 0);
            if (seen.contains(h))
                victim = seen.value(h), attacker = a;
            seen.insert(h, a);
        }
        QVERIFY(!attacker.isNull());
        ManualClock clock;
        BanTable bans(&clock);
        for (int i = 0; i < 5; ++i)
            bans.countFailure(attacker);
        QVERIFY(bans.isBanned(attacker, nullptr));
        QVERIFY(!bans.isBanned(victim, nullptr));
    }

    // 1024 addresses at most: a new one evicts a finished ban before a running one, and among those
    // the address that failed longest ago.
    void boundedEviction()
    {
        ManualClock clock;
        BanTable bans(&clock);
        auto addr = [](int i) { return QHostAddress(quint32(0x0A000000 + i)); };
        const QHostAddress running = addr(0);
        for (int i = 0; i < 5; ++i)
            bans.countFailure(running);
        for (int i = 1; i < BanTable::kCapacity; ++i) {
            clock.advance(1);
            bans.countFailure(addr(i));
        }
        QCOMPARE(bans.size(), BanTable::kCapacity);
        bans.countFailure(addr(BanTable::kCapacity));
        QCOMPARE(bans.size(), BanTable::kCapacity);
        QVERIFY(bans.knows(running));
        QVERIFY(!bans.knows(addr(1)));
        QVERIFY(bans.knows(addr(2)));
        clock.advance(BanTable::kBanStepMs);
        bans.countFailure(addr(BanTable::kCapacity + 1));
        QVERIFY(!bans.knows(running));
    }
};

QTEST_MAIN(TestBanTable)
#include "tst_BanTable.moc"
