// Discovery under a flood: the time from the controller's construction in a fresh client process
// (default settings, so the relay's advertisement and the unit's host name are looked up by mDNS)
// to "Connected", on a quiet link and while a peer on the link floods it with large announcements
// and ANY questions; meanwhile a relay process advertises next to the client. Reports the client's
// peak memory, the relay's CPU while flooded and what both logged under the flood.
//   bench_mdns [flood seconds, default 20]
// The same executable is the client: bench_mdns --client <ms to stay after Connected>.
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
#include <cstring>

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

// The client: a controller with default settings; prints "client <ms to Connected or -1> <peak KB>
// <log bytes>" after staying connected for stayMs.
int runClient(int stayMs)
{
    qInstallMessageHandler(countingHandler);
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
    QDeadlineTimer deadline(qMax(30000, stayMs));
    qint64 ms = -1;
    while (!deadline.hasExpired()) {
        if (controller.state() == PylonController::Connected && last == QStringLiteral("Connected")) {
            ms = clock.elapsed();
            break;
        }
        pump(2);
    }
    if (ms >= 0)
        pump(stayMs);
    printf("client %lld %lld %lld\n", static_cast<long long>(ms),
           static_cast<long long>(MdnsFloodLink::peakResidentKb(QCoreApplication::applicationPid())),
           static_cast<long long>(g_logBytes.load()));
    fflush(stdout);
    return 0;
}

struct ClientRun {
    qint64 connectMs = -1;
    qint64 peakKb = -1;
    qint64 logBytes = 0;
};

ClientRun startClient(int stayMs)
{
    QProcess client;
    client.setProcessChannelMode(QProcess::SeparateChannels);
    client.start(QCoreApplication::applicationFilePath(), {"--client", QString::number(stayMs)});
    ClientRun run;
    QByteArray output;
    // With the event loop running: the unit's and the relay's logs must keep flowing meanwhile, or
    // they block on a full pipe.
    QDeadlineTimer deadline(60000 + stayMs);
    while (!output.contains('\n') && !deadline.hasExpired() && client.state() != QProcess::NotRunning) {
        pump(20);
        output += client.readAllStandardOutput();
    }
    output += client.readAllStandardOutput();
    if (!output.contains("client "))
        return run;
    const QList<QByteArray> fields = output.mid(output.indexOf("client ")).trimmed().split(' ');
    run.connectMs = fields.value(1).toLongLong();
    run.peakKb = fields.value(2).toLongLong();
    run.logBytes = fields.value(3).toLongLong();
    client.waitForFinished(5000);
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 2 && !strcmp(argv[1], "--client")) {
        QCoreApplication app(argc, argv);
        return runClient(atoi(argv[2]));
    }
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int floodSeconds = argc > 1 ? qMax(2, atoi(argv[1])) : 20;

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
        quiet << startClient(0).connectMs;
        out << "quiet link: Connected after " << quiet.last() << " ms\n";
        out.flush();
        pump(1000);
    }
    std::sort(quiet.begin(), quiet.end());
    const qint64 quietMs = quiet.at(1);

    const QString relayHost = QSysInfo::machineHostName().replace('.', '-') + ".local.";
    relayOutput += relay.readAll();
    const qint64 relayLogBefore = relayOutput.size();
    const qint64 relayCpuBefore = MdnsFloodLink::cpuMs(relay.processId());
    const qint64 simCpuBefore = MdnsFloodLink::cpuMs(sim.processId());
    QElapsedTimer floodClock;
    floodClock.start();
    if (!link.startFlood(MDNS_FLOODER_PATH,
                         {"--seconds", QString::number(floodSeconds), "--ask", "_vq6020._fernholow._tcp.local.",
                          "--ask", "vq6020.local.", "--ask", relayHost})) {
        out << "mdns: the flooder did not start\n";
        return 1;
    }
    // The flood is in full swing before the client starts, and goes on while it stays connected.
    pump(1000);
    const ClientRun flooded = startClient(qMax(0, floodSeconds * 1000 - 3000));
    out << "flooded link: Connected after " << flooded.connectMs << " ms\n";
    link.waitForFloodEnd(floodSeconds * 1000 + 20000);
    const qint64 floodWallMs = floodClock.elapsed();
    const qint64 relayCpuMs = MdnsFloodLink::cpuMs(relay.processId()) - relayCpuBefore;
    const qint64 simCpuMs = MdnsFloodLink::cpuMs(sim.processId()) - simCpuBefore;
    relayOutput += relay.readAll();
    const qint64 relayLogBytes = relayOutput.size() - relayLogBefore;
    const bool relayAlive = relay.state() == QProcess::Running;
    out << link.floodOutput().trimmed() << "\n";
    out << "client log " << flooded.logBytes / 1024 << " KB, relay log " << relayLogBytes / 1024 << " KB; cpu in "
        << floodWallMs << " ms: relay " << relayCpuMs << " ms, unit " << simCpuMs << " ms"
        << (relayAlive ? "" : "; the relay died") << "\n";
    relay.kill();
    relay.waitForFinished();
    sim.terminate();
    if (!sim.waitForFinished(3000))
        sim.kill();
    sim.waitForFinished();

    const qint64 floodMs = flooded.connectMs;
    out << QStringLiteral("mdns: connect quiet %1 ms, under flood %2 ms (%3x), peak %4 MB, relay cpu %5%, log %6 KB\n")
               .arg(quietMs)
               .arg(floodMs)
               .arg(quietMs > 0 && floodMs >= 0 ? QString::number(double(floodMs) / quietMs, 'f', 2) : QString("-"))
               .arg(QString::number(flooded.peakKb / 1024.0, 'f', 1))
               .arg(QString::number(100.0 * relayCpuMs / qMax<qint64>(1, floodWallMs), 'f', 1))
               .arg((flooded.logBytes + relayLogBytes) / 1024);
    return 0;
}
