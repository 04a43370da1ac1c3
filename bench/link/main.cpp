// Link benchmark: how long the TLS-PSK handshake with the simulated unit takes, and
// the round trip from writing a register with acknowledgement to decoding the ack,
// all through the client's own socket, codec and reader on loopback.
//
//   bench_link [--sim PATH] [--handshakes N] [--round-trips N]
//
// The unit is started with its control port on an ephemeral port and without
// mDNS, so nothing here needs the fixed ports. The last line is the summary:
//   link: handshake <ms> ms, rtt p50 <us> us, p99 <us> us

#include "link/Codec.h"
#include "link/PylonController.h"
#include "link/ResponseReader.h"
#include "link/SocketWrapper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const char kKeyHex[] = "5be7c0a4192d3e8f60718293a4b5c6d7";

void infoOff(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    // The socket narrates every handshake step; only problems matter here.
    if (type != QtInfoMsg && type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

int intArg(const QStringList &args, const QString &name, int fallback)
{
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(infoOff);
    const QStringList args = app.arguments();
    QString sim = qEnvironmentVariable("VQ6020_SIM", QStringLiteral(VQ6020_SIM_PATH));
    if (const int i = args.indexOf(QStringLiteral("--sim")); i >= 0 && i + 1 < args.size())
        sim = args.at(i + 1);
    const int handshakes = intArg(args, QStringLiteral("--handshakes"), 30);
    const int roundTrips = intArg(args, QStringLiteral("--round-trips"), 3000);

    const quint16 port = freePort();
    QProcess unit;
    unit.setProcessChannelMode(QProcess::MergedChannels);
    unit.start(sim, {QStringLiteral("--key"), QString::fromLatin1(kKeyHex), QStringLiteral("--control-port"),
                     QString::number(port), QStringLiteral("--no-mdns")});
    QByteArray unitOutput;
    if (!waitFor(
            [&] {
                unitOutput += unit.readAll();
                return unitOutput.contains("vq6020-sim ready") || unit.state() == QProcess::NotRunning;
            },
            10000) ||
        !unitOutput.contains("vq6020-sim ready")) {
        std::fprintf(stderr, "link: the simulated unit did not start (%s): %s\n", qPrintable(sim),
                     unitOutput.constData());
        return 1;
    }

    const QByteArray key = QByteArray::fromHex(kKeyHex);
    SocketWrapper socket;
    ResponseReader reader;
    uint32_t lastAck = UINT32_MAX;
    reader.onResponse = [&](const Response &r) {
        if (r.which_payload == Response_ack_tag)
            lastAck = r.counter;
    };
    QObject::connect(&socket, &QIODevice::readyRead, [&] { reader.feed(socket.readDecrypted()); });

    // Handshakes: from TCP connected (tlsSetup) to handshakeDone, each on a new connection.
    std::vector<double> handshakeMs;
    for (int i = 0; i < handshakes; ++i) {
        reader.reset();
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!waitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000)) {
            std::fprintf(stderr, "link: no TCP connection to the unit\n");
            return 1;
        }
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QElapsedTimer t;
        t.start();
        socket.tlsSetup(key, true);
        if (!waitFor([&] { return socket.isHandshakeDone(); }, 5000)) {
            std::fprintf(stderr, "link: handshake did not complete\n");
            return 1;
        }
        handshakeMs.push_back(double(t.nsecsElapsed()) / 1e6);
        if (i + 1 < handshakes) {
            socket.abort();
            waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 1000);
        }
    }

    // Round trips on the last connection: write with ack, wait for that counter.
    std::vector<double> rttUs;
    rttUs.reserve(size_t(roundTrips));
    uint32_t counter = 0;
    for (int i = 0; i < roundTrips; ++i) {
        Request r = Request_init_zero;
        r.counter = counter;
        r.ackRequired = true;
        r.which_payload = Request_write_tag;
        r.payload.write.addr = PylonController::ctrl_scratch;
        r.payload.write.has_data = true;
        r.payload.write.data = uint32_t(i);
        const QByteArray framed = encodeRequest(r);
        QElapsedTimer t;
        t.start();
        socket.writeEncrypted(framed);
        if (!waitFor([&] { return lastAck == counter; }, 5000)) {
            std::fprintf(stderr, "link: no ack for counter %u\n", counter);
            return 1;
        }
        rttUs.push_back(double(t.nsecsElapsed()) / 1e3);
        ++counter;
    }
    socket.abort();
    unit.terminate();
    if (!unit.waitForFinished(3000))
        unit.kill();

    std::printf("link: %d handshakes, median %.2f ms, max %.2f ms\n", handshakes, percentile(handshakeMs, 0.5),
                percentile(handshakeMs, 1.0));
    std::printf("link: %d round trips, min %.0f us, p90 %.0f us, max %.0f us\n", roundTrips, percentile(rttUs, 0),
                percentile(rttUs, 0.9), percentile(rttUs, 1.0));
    std::printf("link: handshake %.2f ms, rtt p50 %.0f us, p99 %.0f us\n", percentile(handshakeMs, 0.5),
                percentile(rttUs, 0.5), percentile(rttUs, 0.99));
    return 0;
}
