// The client with default settings finds and connects to the simulated unit while a peer on the
// link floods it with announcements of large records and with ANY questions, and while a relay
// advertises next to it. Short here; bench/mdns runs the long flood and compares it with a
// quiet link.
#include "SimOptions.h"
#include "app/Logging.h"
#include "app/SettingsKeys.h"
#include "link/PylonController.h"
#include "support/LogCapture.h"
#include "support/MdnsFloodLink.h"
#include "support/SimProcess.h"

#include <QProcess>
#include <QSettings>
#include <QSysInfo>
#include <QtTest>

class tst_MdnsFlood : public QObject
{
    Q_OBJECT

private slots:
    void connectsUnderFlood();
};

void tst_MdnsFlood::connectsUnderFlood()
{
    MdnsFloodLink link;
    QString why;
    if (!link.create(&why))
        QSKIP(qPrintable(why));
    {
        QSettings settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        settings.clear();
        settings.setValue(SettingsKeys::kNetPsk, SimOptions::defaultKey());
        settings.sync();
    }
    SimProcess sim;
    QVERIFY(sim.start());
    QProcess relay;
    relay.setProcessChannelMode(QProcess::MergedChannels);
    relay.start(MDNS_RELAY_PATH, QStringList{});
    QByteArray relayLog;
    QDeadlineTimer registered(10000);
    while (!relayLog.contains("OfferProxy: Hostname changed") && !registered.hasExpired()) {
        relay.waitForReadyRead(100);
        relayLog += relay.readAll();
    }
    QVERIFY2(relayLog.contains("OfferProxy: Hostname changed"), relayLog.constData());
    relayLog.clear();

    const QString relayHost = QSysInfo::machineHostName().replace('.', '-') + ".local.";
    QVERIFY(link.startFlood(MDNS_FLOODER_PATH, {"--seconds", "5", "--ask", "_vq6020._fernholow._tcp.local.", "--ask",
                                                "vq6020.local.", "--ask", relayHost}));
    const qint64 relayCpuBefore = MdnsFloodLink::cpuMs(relay.processId());
    QTest::qWait(500);

    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    PylonController controller;
    QString notice;
    connect(&controller, &PylonController::notifyUserOfState, this, [&notice](const QString &s) { notice = s; });
    QTRY_VERIFY_WITH_TIMEOUT(controller.state() == PylonController::Connected && notice == "Connected", 30000);
    const qint64 connectMs = clock.elapsed();
    QVERIFY(link.waitForFloodEnd(20000));
    const qint64 relayCpuMs = MdnsFloodLink::cpuMs(relay.processId()) - relayCpuBefore;
    relayLog += relay.readAll();
    QVERIFY2(relay.state() == QProcess::Running, relayLog.right(2000).constData());
    relay.kill();
    relay.waitForFinished();

    qint64 logBytes = relayLog.size();
    for (const QString &line : log.lines())
        logBytes += Logging::formatLine(QtInfoMsg, line, QDateTime::currentDateTime()).toUtf8().size() + 1;
    const qint64 peakKb = MdnsFloodLink::peakResidentKb(QCoreApplication::applicationPid());
    const QString flood = link.floodOutput().trimmed();
    qInfo().noquote() << QStringLiteral("connected after %1 ms; peak %2 MB; relay cpu %3 ms; log %4 KB; %5")
                             .arg(connectMs)
                             .arg(peakKb / 1024)
                             .arg(relayCpuMs)
                             .arg(logBytes / 1024)
                             .arg(flood);
    // It was a flood: thousands of datagrams, not a handful.
    const QStringList words = flood.split(' ');
    QVERIFY2(words.value(2).toLongLong() > 2000, qPrintable(flood));
    QVERIFY2(peakKb < 100 * 1024, qPrintable(QString::number(peakKb)));
    QVERIFY2(logBytes < 1024 * 1024, qPrintable(QString::number(logBytes)));
}

QTEST_MAIN(tst_MdnsFlood)
#include "tst_MdnsFlood.moc"
