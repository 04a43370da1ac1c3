// Relay cost: the simulated unit's screen through FrameCompress and FrameDecompress, 600 frames of a screen at rest
// and 600 busy ones (the main dial turning, so spectrum and waterfall change all over each frame). Reference, in the
// same run: each frame compressed on its own at the same level with the one-shot API (a context reused, so only the
// compression itself is timed). Reset points are asked for every 60 frames, as new clients would.
#include "ScreenRenderer.h"
#include "stream/FrameCompress.h"
#include "stream/FrameDecompress.h"

#include <QCoreApplication>

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

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietInfo);
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

    // TO BE FILLED BY THE RELAY HALF: the GUI thread's CPU with FrameCompress -> Proxy -> 16 TLS clients in a child
    // process. Until then the field shows "-".
    const char *guiCpu16Clients = "-";

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
