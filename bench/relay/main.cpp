// Relay cost: the simulated unit's screen through FrameCompress and FrameDecompress, 600 frames of a screen at rest
// and 600 busy ones (the main dial turning, so spectrum and waterfall change all over each frame). Reference, in the
// same run: each frame compressed on its own at the same level with the one-shot API (a context reused, so only the
// compression itself is timed). Reset points are asked for every 60 frames, as new clients would.
#include "BenchStats.h"
#include "ScreenRenderer.h"
#include "app/SettingsKeys.h"
#include "discovery/LocatorSettings.h"
#include "link/SocketWrapper.h"
#include "relay/Proxy.h"
#include "stream/FrameCompress.h"
#include "stream/FrameDecompress.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <time.h>

namespace {

constexpr int kFrames = 600;
constexpr int kResetEvery = 60;

double mean(const std::vector<double> &v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

// Per-call times are this thread's CPU time: the machine is shared, and time spent preempted is not the codec's.
double threadMicros()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

void quietInfo(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type != QtInfoMsg && type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

struct Run {
    std::vector<double> compressUs, decompressUs, referenceUs;
    std::vector<double> bytes, referenceBytes; // records that are not reset points; one-shot sizes
    double resetBytesMax = 0;
    int dropped = 0;    // frames without a record (too large, or the pool empty)
    int mismatches = 0; // decoded frames that differ from their raw frame
};

// One set of frames through a compressor and decompressor that live for the whole benchmark, as on a relay and its
// client.
Run measure(FrameCompress &comp, FrameDecompress &decomp, ZSTD_CCtx *reference, bool busy)
{
    Run run;
    ScreenRenderer renderer;
    RadioState radio;
    Frame_t raw;
    auto record = std::make_unique<CompressedFrameData>(CompressedFrameData(CompressedFrameData_init_zero));
    bool got = false;
    QObject::connect(&comp, &FrameCompress::newCFrame, &comp, [&](CompressedFrameData *r) {
        *record = *r;
        got = true;
        comp.cFrameDispose(r);
    });
    bool same = false;
    QObject::connect(&decomp, &FrameDecompress::newFrame, &decomp, [&](Frame_t *f) {
        same = std::memcmp(f->pixels.get(), raw.pixels.get(), size_t(Frame_t::Bytes)) == 0;
        decomp.buffDispose(f);
    });
    std::vector<uint8_t> oneShot(ZSTD_compressBound(size_t(Frame_t::Bytes)));

    for (int i = 0; i < kFrames; ++i) {
        if (busy)
            radio.frequencyHz += 500;
        std::memcpy(raw.pixels.get(), renderer.render(radio, uint16_t(i)).constData(), size_t(Frame_t::Bytes));
        raw.pts = i;
        if (i % kResetEvery == 0)
            comp.resetContext();

        got = false;
        double start = threadMicros();
        comp.newBuff(&raw);
        run.compressUs.push_back(threadMicros() - start);

        start = threadMicros();
        const size_t n = ZSTD_compressCCtx(reference, oneShot.data(), oneShot.size(), raw.pixels.get(),
                                           size_t(Frame_t::Bytes), FrameCompress::kLevel);
        run.referenceUs.push_back(threadMicros() - start);
        run.referenceBytes.push_back(double(n));

        if (!got) {
            ++run.dropped;
            continue;
        }
        if (record->has_reset && record->reset)
            run.resetBytesMax = std::max(run.resetBytesMax, double(record->data.size));
        else
            run.bytes.push_back(record->data.size);
        same = false;
        start = threadMicros();
        decomp.newCFrame(*record);
        run.decompressUs.push_back(threadMicros() - start);
        run.mismatches += !same;
    }
    QObject::disconnect(&comp, &FrameCompress::newCFrame, &comp, nullptr);
    QObject::disconnect(&decomp, &FrameDecompress::newFrame, &decomp, nullptr);
    return run;
}

// The relay's side with many clients: screen frames at 60 fps through FrameCompress and the Proxy into `clients` TLS
// connections held by a child process, with the simulated unit behind the relay. Returns the GUI thread's share of
// a core while the frames flow, or -1 if the set-up failed.
constexpr quint16 kBenchUnitPort = 4243;
const QByteArray kBenchKey = QByteArray::fromHex("5651363032302d73696d2d6b65792d31");

// The child: `clients` connections that read and discard everything, until its input closes.
int runClients(int clients)
{
    std::vector<std::unique_ptr<SocketWrapper>> sockets;
    for (int i = 0; i < clients; ++i) {
        auto s = std::make_unique<SocketWrapper>();
        SocketWrapper *raw = s.get();
        QObject::connect(raw, &QAbstractSocket::connected, raw, [raw] { raw->tlsSetup(kBenchKey, true); });
        QObject::connect(raw, &QIODevice::readyRead, raw, [raw] { raw->readDecrypted(); });
        // One source address each: the relay lets only four unauthenticated connections wait per address.
        raw->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(10 + i)));
        raw->connectToHost(QHostAddress::LocalHost, Proxy::kPort);
        sockets.push_back(std::move(s));
    }
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (in.atEnd())
            QCoreApplication::quit();
    });
    poll.start(200);
    return QCoreApplication::exec();
}

double relayGuiCpu(const char *self, int clients)
{
    QProcess unit;
    unit.setProcessChannelMode(QProcess::MergedChannels);
    unit.start(qEnvironmentVariable("VQ6020_SIM", QStringLiteral("sim/vq6020-sim")),
               {QStringLiteral("--control-port"), QString::number(kBenchUnitPort), QStringLiteral("--no-mdns")});
    if (!unit.waitForStarted(5000))
        return -1;
    {
        QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        s.clear();
        s.setValue(SettingsKeys::kNetPsk, kBenchKey);
        alterLocatorEnable(s, LOC_PROXY_MDNS, false);
        alterLocatorEnable(s, LOC_DIRECT_MDNS, false);
        alterLocatorEnable(s, LOC_IP, true);
        alterExtendedPriority(s, LOC_IP, QStringLiteral("127.0.0.1"));
    }
    FrameCompress comp;
    Proxy relay;
    relay.setUnitPort(kBenchUnitPort);
    int bridged = 0;
    bool listening = false;
    QObject::connect(&relay, &Proxy::log, [&](const QString &m) {
        bridged += m.contains(QLatin1String("Enabling two-way bridge traffic"));
        listening |= m.contains(QLatin1String("Server Listen: Ready"));
    });
    QObject::connect(&comp, &FrameCompress::newCFrame, &relay, &Proxy::publishCFrame);
    QObject::connect(&relay, &Proxy::disposeCFrame, &comp, &FrameCompress::cFrameDispose);
    QObject::connect(&relay, &Proxy::needStreamReset, &comp, &FrameCompress::resetContext);
    QElapsedTimer wait;
    wait.start();
    while (!listening && wait.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QProcess child;
    child.start(QString::fromLocal8Bit(self), {QStringLiteral("--tls-clients"), QString::number(clients)});
    while (bridged < clients && wait.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (bridged < clients) {
        std::fprintf(stderr, "relay half: %d of %d clients bridged (listening %d, unit: %s)\n", bridged, clients,
                     int(listening), unit.readAll().left(300).constData());
        return -1;
    }

    ScreenRenderer renderer;
    RadioState radio;
    Frame_t raw;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    int sent = 0;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        std::memcpy(raw.pixels.get(), renderer.render(radio, uint16_t(sent)).constData(), size_t(Frame_t::Bytes));
        raw.pts = sent++;
        comp.newBuff(&raw);
        if (sent == kFrames)
            QCoreApplication::quit();
    });
    const double cpu0 = threadMicros();
    QElapsedTimer wall;
    wall.start();
    pace.start(1000 / 60);
    QCoreApplication::exec();
    const double share = (threadMicros() - cpu0) / (double(wall.nsecsElapsed()) / 1e3);
    child.closeWriteChannel();
    child.waitForFinished(3000);
    child.kill();
    unit.kill();
    unit.waitForFinished(2000);
    return share * 100;
}

} // namespace

int main(int argc, char **argv)
{
    // The relay half reads and writes settings; keep them away from the user's.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietInfo);
    if (argc == 3 && qstrcmp(argv[1], "--tls-clients") == 0)
        return runClients(atoi(argv[2]));
    FrameCompress comp;
    FrameDecompress decomp;
    ZSTD_CCtx *reference = ZSTD_createCCtx();

    const Run screen = measure(comp, decomp, reference, false);
    const Run busy = measure(comp, decomp, reference, true);
    ZSTD_freeCCtx(reference);

    for (const Run *r : {&screen, &busy})
        std::printf("relay codec %s: compress p50 %.0f us p99 %.0f us, one-shot p50 %.0f us p99 %.0f us, "
                    "%.0f B/frame (one-shot %.0f B), reset max %.0f B, decompress p50 %.0f us p99 %.0f us, "
                    "dropped %d, mismatched %d\n",
                    r == &screen ? "screen" : "busy", percentile(r->compressUs, 0.5), percentile(r->compressUs, 0.99),
                    percentile(r->referenceUs, 0.5), percentile(r->referenceUs, 0.99), mean(r->bytes),
                    mean(r->referenceBytes), r->resetBytesMax, percentile(r->decompressUs, 0.5),
                    percentile(r->decompressUs, 0.99), r->dropped, r->mismatches);

    const double gui = relayGuiCpu(argv[0], 16);
    const QByteArray guiCpu16 = gui < 0 ? QByteArray("-") : QByteArray::number(gui, 'f', 1);
    const char *guiCpu16Clients = guiCpu16.constData();

    const double reference99 = percentile(screen.referenceUs, 0.99);
    const double referenceBytes = mean(screen.referenceBytes);
    std::printf("relay: compress %.0f us p99 %.0f us (%.2fx one-shot), %.0f B/frame (%.3fx), reset %.0f B, "
                "busy %.0f B p99 %.0f us, decompress %.0f us, 16 clients gui %s%%, cctx %.1f MB, dctx %.1f MB\n",
                percentile(screen.compressUs, 0.5), percentile(screen.compressUs, 0.99),
                reference99 > 0 ? percentile(screen.compressUs, 0.99) / reference99 : 0, mean(screen.bytes),
                referenceBytes > 0 ? mean(screen.bytes) / referenceBytes : 0,
                std::max(screen.resetBytesMax, busy.resetBytesMax), mean(busy.bytes), percentile(busy.compressUs, 0.99),
                percentile(screen.decompressUs, 0.5), guiCpu16Clients, double(comp.contextBytes()) / 1e6,
                double(decomp.contextBytes()) / 1e6);
    return 0;
}
