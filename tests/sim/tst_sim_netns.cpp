// The simulated unit in a network namespace of its own: it and a listener here both hold port 4242, each is reached
// at its own address, and the unit comes back at the same address after a restart.
#include "support/SimProcess.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

class TestSimNetns : public QObject
{
    Q_OBJECT

    // Connects to address:4242; true once connected.
    static bool reaches(const QHostAddress &address)
    {
        QTcpSocket socket;
        socket.connectToHost(address, 4242);
        return socket.waitForConnected(3000);
    }

private slots:
    void unitBehindVeth()
    {
        SimProcess sim;
        QString why;
        if (!sim.isolate(&why))
            QSKIP(qPrintable(why));
        QVERIFY(sim.start({QStringLiteral("--no-mdns")}));
        QTcpServer here;
        QVERIFY2(here.listen(QHostAddress::Any, 4242), qPrintable(here.errorString()));

        for (int round = 0; round < 2; ++round) {
            if (round == 1)
                QVERIFY(sim.restart());
            QVERIFY(reaches(sim.unitAddress()));
            QVERIFY(sim.waitForOutput(QStringLiteral("Control connection 1 from ") + sim.hostAddress().toString()));
            QVERIFY(!here.hasPendingConnections());
            QVERIFY(reaches(QHostAddress::LocalHost));
            QTRY_VERIFY(here.hasPendingConnections());
            delete here.nextPendingConnection();
            QCOMPARE(sim.count(QStringLiteral("Control connection 2")), 0); // the local one was not the unit's
        }
    }

    // Nothing stays behind: the veth pair goes with the namespace.
    void cleanedUp()
    {
        QString why;
        QString hostLink;
        {
            SimProcess sim;
            if (!sim.isolate(&why))
                QSKIP(qPrintable(why));
            QProcess ip;
            ip.start(QStringLiteral("ip"), {QStringLiteral("-o"), QStringLiteral("addr")});
            QVERIFY(ip.waitForFinished());
            const QString out = QString::fromLocal8Bit(ip.readAll());
            QVERIFY2(out.contains(sim.hostAddress().toString()), qPrintable(out));
            for (const QString &line : out.split(QLatin1Char('\n')))
                if (line.contains(QStringLiteral(" %1/").arg(sim.hostAddress().toString())))
                    hostLink = line.split(QLatin1Char(' '), Qt::SkipEmptyParts).value(1);
        }
        QVERIFY(!hostLink.isEmpty());
        QTRY_COMPARE(
            QProcess::execute(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("show"), hostLink}), 1);
    }
};

QTEST_GUILESS_MAIN(TestSimNetns)
#include "tst_sim_netns.moc"
