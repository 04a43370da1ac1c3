// Discovery under a flood: the time from the controller's construction (default settings, so
// the relay's advertisement and the unit's host name are looked up by mDNS) to "Connected" on a
// quiet link and while a peer on the link floods it with large announcements and ANY questions;
// meanwhile a relay process advertises next to the client. Reports the client's peak memory,
// the relay's CPU while flooded and what both logged under the flood.
//   bench_mdns [flood seconds, default 20]
#include "app/Logging.h"
#include "app/SettingsKeys.h"
#include "link/PylonController.h"
#include "support/MdnsFloodLink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>

namespace {

const QByteArray kKey = QByteArray::fromHex("5be1c0ffee0ddba11ab5c155ed0f1a75");
std::atomic<qint64> g_logBytes{0};

void countingHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    g_logBytes += Logging::formatLine(type, msg, QDateTime::currentDateTime()).toUtf8().size() + 1;
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
        fprintf(stderr, "%s\n", qPrintable(msg));
}

// Runs the event loop, asleep while nothing happens: the machine's CPU is part of what is measured.
void pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitForLine(QProcess &process, QByteArray &output, const QByteArray &line, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!output.contains(line) && !deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(50);
        output += process.readAll();
    }
    return output.contains(line);
}

// A fresh controller with default settings; ms until "Connected", -1 on time-out.
qint64 connectOnce(int timeoutMs)
{
    {
        QSettings settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        settings.clear();
        settings.setValue(SettingsKeys::kNetPsk, kKey);
        settings.sync();
    }
    QElapsedTimer clock;
    clock.start();
    PylonController controller;
    QString last;
    QObject::connect(&controller, &PylonController::notifyUserOfState, [&last](const QString &s) { last = s; });
    QDeadlineTimer deadline(timeoutMs);
    while (!(controller.state() == PylonController::Connected && last == QStringLiteral("Connected"))) {
        if (deadline.hasExpired())
            return -1;
        pump(2);
    }
    return clock.elapsed();
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(countingHandler);
    QTextStream out(stdout);
    const int floodSeconds = argc > 1 ? qMax(1, atoi(argv[1])) : 20;

    MdnsFloodLink link;
    QString why;
    if (!link.create(&why)) {
        out << "mdns: " << why << "\n";
        return 1;
    }
    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    // The screen stream only costs CPU here, and would go on to a client that has gone: stopped early.
    sim.start(QStringLiteral(VQ6020_SIM_PATH),
              {"--key", QString::fromLatin1(kKey.toHex()), "--stall-after", "1", "--serial-interval", "1000"});
    QByteArray simOutput;
    if (!waitForLine(sim, simOutput, "vq6020-sim ready", 15000)) {
        out << "mdns: the simulated unit did not start\n";
        return 1;
    }
    QProcess relay;
    relay.setProcessChannelMode(QProcess::MergedChannels);
    relay.start(QStringLiteral(MDNS_RELAY_PATH), QStringList{});
    QByteArray relayOutput;
    if (!waitForLine(relay, relayOutput, "OfferProxy: Hostname changed", 15000)) {
        out << "mdns: the relay did not register its host name\n";
        return 1;
    }

    QList<qint64> quiet;
    for (int i = 0; i < 3; ++i) {
        quiet << connectOnce(30000);
        out << "quiet link: Connected after " << quiet.last() << " ms\n";
        out.flush();
        pump(1000);
    }
    std::sort(quiet.begin(), quiet.end());
    const qint64 quietMs = quiet.at(1);

    const QString relayHost = QSysInfo::machineHostName().replace('.', '-') + ".local.";
    relayOutput += relay.readAll();
    const qint64 relayLogBefore = relayOutput.size();
    g_logBytes = 0;
    const qint64 relayCpuBefore = MdnsFloodLink::cpuMs(relay.processId());
    const qint64 clientCpuBefore = MdnsFloodLink::cpuMs(QCoreApplication::applicationPid());
    const qint64 simCpuBefore = MdnsFloodLink::cpuMs(sim.processId());
    QElapsedTimer floodClock;
    floodClock.start();
    if (!link.startFlood(MDNS_FLOODER_PATH,
                         {"--seconds", QString::number(floodSeconds), "--ask", "_vq6020._fernholow._tcp.local.",
                          "--ask", "vq6020.local.", "--ask", relayHost})) {
        out << "mdns: the flooder did not start\n";
        return 1;
    }
    // The caches are full of the flood before the client starts looking.
    pump(1000);
    const qint64 floodMs = connectOnce(qMax(30000, floodSeconds * 1000));
    out << "flooded link: Connected after " << floodMs << " ms\n";
    link.waitForFloodEnd(floodSeconds * 1000 + 20000);
    const qint64 floodWallMs = floodClock.elapsed();
    const qint64 relayCpuMs = MdnsFloodLink::cpuMs(relay.processId()) - relayCpuBefore;
    const qint64 clientCpuMs = MdnsFloodLink::cpuMs(QCoreApplication::applicationPid()) - clientCpuBefore;
    const qint64 simCpuMs = MdnsFloodLink::cpuMs(sim.processId()) - simCpuBefore;
    relayOutput += relay.readAll();
    const qint64 logBytes = g_logBytes + (relayOutput.size() - relayLogBefore);
    const qint64 peakKb = MdnsFloodLink::peakResidentKb(QCoreApplication::applicationPid());
    const bool relayAlive = relay.state() == QProcess::Running;
    out << link.floodOutput().trimmed() << "\n";
    out << "client log " << g_logBytes / 1024 << " KB, relay log " << (relayOutput.size() - relayLogBefore) / 1024
        << " KB; cpu in " << floodWallMs << " ms: relay " << relayCpuMs << " ms, client " << clientCpuMs << " ms, unit "
        << simCpuMs << " ms" << (relayAlive ? "" : "; the relay died") << "\n";
    relay.kill();
    relay.waitForFinished();
    sim.terminate();
    if (!sim.waitForFinished(3000))
        sim.kill();
    sim.waitForFinished();

    out << QStringLiteral("mdns: connect quiet %1 ms, under flood %2 ms (%3x), peak %4 MB, relay cpu %5%, log %6 KB\n")
               .arg(quietMs)
               .arg(floodMs)
               .arg(quietMs > 0 && floodMs >= 0 ? QString::number(double(floodMs) / quietMs, 'f', 2) : QString("-"))
               .arg(QString::number(peakKb / 1024.0, 'f', 1))
               .arg(QString::number(100.0 * relayCpuMs / qMax<qint64>(1, floodWallMs), 'f', 1))
               .arg(logBytes / 1024);
    return 0;
}
