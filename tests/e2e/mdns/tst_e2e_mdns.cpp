// The client with default locator settings (relay first, then the unit's own
// host name) against the simulated unit on real multicast in a namespace of its
// own: found by mDNS, connected over the control channel.
#include "SimOptions.h"
#include "app/SettingsKeys.h"
#include "discovery/OfferProxy.h"
#include "link/PylonController.h"
#include "support/LogCapture.h"

#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <memory>

class tst_e2e_mdns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void findsAndConnects_data();
    void findsAndConnects();
};

void tst_e2e_mdns::initTestCase()
{
    QVERIFY2(QFileInfo(qEnvironmentVariable("VQ6020_SIM")).isExecutable(), "VQ6020_SIM must name the simulator");
}

void tst_e2e_mdns::findsAndConnects_data()
{
    QTest::addColumn<QStringList>("simArguments");
    QTest::addColumn<bool>("advertiseRelay");
    QTest::addColumn<QStringList>("expectedLog");

    QTest::newRow("unit by its host name, LOC_DIRECT_MDNS")
        << QStringList{} << false
        << QStringList{"VQ6020Locator: Lookup strategy LOC_DIRECT_MDNS is true [ 1 ]",
                       "MDNSHostnameLookup: Send request for vq6020.local.", "MDNSHostnameLookup: Response: 127.0.0.1",
                       "VQ6020Locator: Lookup Query Found: 127.0.0.1"};
    // The unit stays silent on mDNS; a relay advertisement on this machine points at port 4242 here.
    QTest::newRow("relay advertisement, LOC_PROXY_MDNS")
        << QStringList{"--no-mdns"} << true
        << QStringList{"MDNSBrowser: onServiceAdded Service(name: _vq6020, type: _fernholow._tcp.local.",
                       "MDNSBrowser: Have hostname from browser", "MDNSBrowser: internalLocated: 127.0.0.1",
                       "VQ6020Locator: Lookup Query Found: 127.0.0.1"};
}

void tst_e2e_mdns::findsAndConnects()
{
    QFETCH(QStringList, simArguments);
    QFETCH(bool, advertiseRelay);
    QFETCH(QStringList, expectedLog);

    {
        // Default locator settings: only the key is stored.
        QSettings settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        settings.clear();
        settings.setValue(SettingsKeys::kNetPsk, SimOptions::defaultKey());
        settings.sync();
    }
    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(qEnvironmentVariable("VQ6020_SIM"), simArguments);
    QByteArray simOutput;
    QDeadlineTimer ready(10000);
    while (!simOutput.contains("vq6020-sim ready") && !ready.hasExpired() && sim.state() != QProcess::NotRunning) {
        sim.waitForReadyRead(100);
        simOutput += sim.readAll();
    }
    QVERIFY2(simOutput.contains("vq6020-sim ready"), simOutput.constData());
    LogCapture log;
    std::unique_ptr<OfferProxy> relay;
    if (advertiseRelay) {
        relay = std::make_unique<OfferProxy>();
        relay->offer();
    }
    PylonController controller;
    QStringList notices;
    connect(&controller, &PylonController::notifyUserOfState, this, [&](const QString &state) {
        if (notices.isEmpty() || notices.last() != state)
            notices << state;
    });
    QTRY_VERIFY2_WITH_TIMEOUT(controller.state() == PylonController::Connected && notices.contains("Connected"),
                              qPrintable(notices.join(" | ")), 40000);
    QVERIFY(notices.contains("Connecting to 127.0.0.1"));
    for (const QString &line : expectedLog)
        QVERIFY2(log.contains(line), qPrintable(line));
    sim.terminate();
    if (!sim.waitForFinished(5000))
        sim.kill();
    sim.waitForFinished();
}

QTEST_MAIN(tst_e2e_mdns)
#include "tst_e2e_mdns.moc"
