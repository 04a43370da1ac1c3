// The real program as a relay under connection storms: once its log view is full, a thousand plain connect/close
// cycles and fifty whole sessions leave its memory and its open files as they were, and a session through it costs
// little more than one straight to the unit. (The long run is bench/relay-storm.)
#include "RelayProcess.h"
#include "RelayStorm.h"

#include "support/SimProcess.h"

#include "SimOptions.h"
#include "relay/MainWindowProxy.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTest>

namespace {
int openFiles(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
}
} // namespace

class TestRelayStorm : public QObject
{
    Q_OBJECT

    SimProcess m_sim;
    RelayProcess m_relay;

private slots:
    void initTestCase()
    {
        QString why;
        if (!m_sim.isolate(&why))
            QSKIP(qPrintable(why));
        // The clients' own TLS chatter, a few lines per connection, would bury the result.
        QLoggingCategory::setFilterRules(QStringLiteral("default.info=false"));
        QVERIFY(m_sim.start({QStringLiteral("--no-mdns")}));
        QVERIFY(m_relay.start(SimOptions::defaultKey(), m_sim.unitAddress()));
    }

    void stormLeavesMemoryAsItWas()
    {
        RelayStorm storm(m_relay.pid(), SimOptions::defaultKey());
        // What lives as long as the program is set up by the first connections.
        storm.cycles(20);
        QCOMPARE(storm.sessions(2), 2);
        const qint64 base = storm.settle();
        storm.resetPeak();
        // A storm long enough to fill the window's log view: the lines it keeps are bounded by design (about
        // 3.5 MB) and all that may stay.
        while (m_relay.count(QStringLiteral("Connection #")) < MainWindowProxy::kLogLines)
            storm.cycles(250);
        QCOMPARE(storm.sessions(5), 5);
        const qint64 start = storm.settle();
        const int fds = openFiles(m_relay.pid());

        storm.cycles(1000);
        m_relay.output();
        QCOMPARE(storm.sessions(50), 50);
        const qint64 end = storm.settle();
        QLoggingCategory::setFilterRules(QString());
        qInfo("relay: RSS %lld kB, after filling its log %lld kB (peak %lld kB); after 1000 cycles + 50 sessions "
              "%lld kB, delta %lld kB",
              base, start, storm.peakKb(), end, end - start);
        QVERIFY2(start - base < 5 * 1024, qPrintable(QString::number(start - base)));
        // One kB kept per connection would already be 1 MB.
        QVERIFY2(end - start < 1024, qPrintable(QString::number(end - start)));
        QTRY_COMPARE(openFiles(m_relay.pid()), fds);
    }

    // A session through the relay costs its two handshakes, not delayed acknowledgements on the way to the unit (the
    // relay's handshake with the unit once took ten times a direct session).
    void sessionsThroughRelayAreQuick()
    {
        RelayStorm storm(m_relay.pid(), SimOptions::defaultKey());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(storm.sessions(20, m_sim.unitAddress()), 20);
        const qint64 direct = qMax<qint64>(timer.restart(), 1);
        QCOMPARE(storm.sessions(20), 20);
        const qint64 relayed = timer.elapsed();
        qInfo("20 sessions: %lld ms direct, %lld ms through the relay", direct, relayed);
        QVERIFY2(relayed < 10 * direct, qPrintable(QStringLiteral("%1 ms against %2 ms").arg(relayed).arg(direct)));
    }
};

QTEST_MAIN(TestRelayStorm)
#include "tst_RelayStorm.moc"
