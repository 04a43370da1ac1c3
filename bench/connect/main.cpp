// How long the controller takes to reach "Connected" against the simulated unit: from its
// construction, after its socket was killed, and after the unit was restarted. Uses its own
// settings folder, so the user's settings are left alone.
#include "support/ClientSettings.h"
#include "link/PylonController.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

const QByteArray kKey = QByteArray::fromHex("5be1c0ffee0ddba11ab5c155ed0f1a75");

class Sim
{
public:
    bool start()
    {
        m_output.clear();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral(VQ6020_SIM_PATH),
                        {"--key", QString::fromLatin1(kKey.toHex()), "--no-mdns", "--serial-interval", "1000"});
        if (!m_process.waitForStarted(5000))
            return false;
        QDeadlineTimer deadline(15000);
        while (!m_output.contains("vq6020-sim ready:")) {
            if (deadline.hasExpired() || m_process.state() != QProcess::Running)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            m_output += m_process.readAll();
        }
        return true;
    }
    void stop()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }
    void drain() { m_output += m_process.readAll(); }

private:
    QProcess m_process;
    QByteArray m_output;
};

// Runs the event loop until the controller shows "Connected"; -1 on time-out.
qint64 untilConnected(const PylonController &controller, const QString &lastNotice, const QElapsedTimer &clock,
                      Sim &sim, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!(controller.state() == PylonController::Connected && lastNotice == QStringLiteral("Connected"))) {
        if (deadline.hasExpired())
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        sim.drain();
    }
    return clock.elapsed();
}

qint64 median(QList<qint64> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    // The controller logs every step; only the figures matter here.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
            fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QTextStream out(stdout);
    const int rounds = argc > 1 ? qMax(1, atoi(argv[1])) : 5;

    ClientSettings::useSavedAddressOnly(kKey);

    Sim sim;
    if (!sim.start()) {
        out << "connect: the simulated unit did not start\n";
        return 1;
    }

    QList<qint64> connects, reconnects, restarts;
    for (int i = 0; i < rounds; ++i) {
        QString last;
        QElapsedTimer clock;
        clock.start();
        auto controller = std::make_unique<PylonController>();
        QObject::connect(controller.get(), &PylonController::notifyUserOfState,
                         [&last](const QString &s) { last = s; });
        const qint64 ms = untilConnected(*controller, last, clock, sim, 10000);
        out << "construction to Connected: " << ms << " ms\n";
        connects.append(ms);

        // The unit closes its side when the client goes; let it settle before the next round.
        controller.reset();
        QDeadlineTimer settle(300);
        while (!settle.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }

    QString last;
    PylonController controller;
    QObject::connect(&controller, &PylonController::notifyUserOfState, [&last](const QString &s) { last = s; });
    QElapsedTimer unused;
    unused.start();
    if (untilConnected(controller, last, unused, sim, 10000) < 0) {
        out << "connect: no connection\n";
        return 1;
    }
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        controller.debugKillSocket();
        last.clear();
        const qint64 ms = untilConnected(controller, last, clock, sim, 10000);
        out << "debugKillSocket to Connected: " << ms << " ms\n";
        reconnects.append(ms);
    }
    for (int i = 0; i < rounds; ++i) {
        sim.stop();
        // Wait until the controller has noticed and is trying the closed port.
        QDeadlineTimer gone(3000);
        while (controller.state() != PylonController::Connecting && !gone.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        // Restart at a different point of the 5 s connect attempt each round.
        QDeadlineTimer offset(400 + 900 * i);
        while (!offset.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!sim.start()) {
            out << "connect: the simulated unit did not restart\n";
            return 1;
        }
        QElapsedTimer clock;
        clock.start();
        last.clear();
        const qint64 ms = untilConnected(controller, last, clock, sim, 15000);
        out << "unit listening again to Connected: " << ms << " ms\n";
        restarts.append(ms);
    }
    sim.stop();

    out << "connect: " << median(connects) << " ms to Connected, reconnect " << median(reconnects) << " ms, restart "
        << median(restarts) << " ms\n";
    return 0;
}
