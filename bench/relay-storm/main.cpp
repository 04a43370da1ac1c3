// The relay's memory under connection storms: the real program in relay mode, the simulated unit in a network
// namespace of its own, then plain connect/close cycles and whole sessions from here. Prints one line:
// relay-storm: <N> cycles + <M> sessions (<A> answered), RSS start <kB> kB, peak <kB> kB, end <kB> kB, delta <kB> kB
// Arguments: [cycles] [sessions], 10000 and 200 by default.
#include "RelayProcess.h"
#include "RelayStorm.h"

#include "support/SimProcess.h"

#include "SimOptions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The clients' own TLS chatter would bury the result line.
    QLoggingCategory::setFilterRules(QStringLiteral("default.info=false"));
    const QStringList args = app.arguments();
    const int cycles = args.size() > 1 ? args.at(1).toInt() : 10000;
    const int sessions = args.size() > 2 ? args.at(2).toInt() : 200;
    if (qEnvironmentVariableIsEmpty("VQ6020_SIM"))
        qputenv("VQ6020_SIM", VQ6020_SIM_PATH);
    if (qEnvironmentVariableIsEmpty("VQ6020_APP"))
        qputenv("VQ6020_APP", VQ6020_APP_PATH);

    SimProcess sim;
    QString why;
    if (!sim.isolate(&why)) {
        fprintf(stderr, "relay-storm: %s\n", qPrintable(why));
        return 1;
    }
    RelayProcess relay;
    if (!sim.start({QStringLiteral("--no-mdns")}) || !relay.start(SimOptions::defaultKey(), sim.unitAddress())) {
        fprintf(stderr, "relay-storm: unit or relay did not start\n%s\n", qPrintable(relay.output()));
        return 1;
    }
    RelayStorm storm(relay.pid(), SimOptions::defaultKey());
    // Warm-up: the first connections and sessions set up what lives as long as the program (TLS tables, the locator,
    // the unit's address).
    storm.cycles(20);
    storm.sessions(2);
    const qint64 start = storm.settle();
    storm.resetPeak();
    for (int done = 0; done < cycles; done += 500) {
        storm.cycles(qMin(500, cycles - done));
        relay.output(); // the relay must never block on a full log pipe
    }
    int answered = 0;
    QElapsedTimer timer;
    timer.start();
    for (int done = 0; done < sessions; done += 20) {
        answered += storm.sessions(qMin(20, sessions - done));
        relay.output();
    }
    const double relayedMs = sessions > 0 ? double(timer.elapsed()) / sessions : 0;
    const qint64 end = storm.settle();
    // Reference, same run: the same sessions straight to the unit.
    const int direct = qMax(1, qMin(sessions, 50));
    timer.restart();
    storm.sessions(direct, sim.unitAddress());
    const double directMs = double(timer.elapsed()) / direct;
    printf("relay-storm: %d cycles + %d sessions (%d answered), RSS start %lld kB, peak %lld kB, end %lld kB, delta "
           "%lld kB, session %.1f ms (%.2fx direct)\n",
           cycles, sessions, answered, start, storm.peakKb(), end, end - start, relayedMs,
           directMs > 0 ? relayedMs / directMs : 0.0);
    return answered == sessions ? 0 : 1;
}
