// The recorder's cost: (1) the FFmpeg side alone with the default preset against the ffmpeg program doing the same
// encode of the same 600 simulator frames (best of 3 each); (2) the recorder object fed at 60 fps for 20 s as the
// main window feeds it: CPU above the same feed without a recording, how long frames stay out, frames dropped.
#include "BenchStats.h"
#include "RadioState.h"
#include "ScreenRenderer.h"
#include "app/Frame.h"
#include "recording/EncoderCore.h"
#include "recording/encoder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
constexpr int kFrames = 600;
constexpr int kPool = 20;

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double coreFps(const QByteArray &raw, const QString &out, const encoder &presets)
{
    EncoderCore core;
    QElapsedTimer t;
    t.start();
    if (!core.open(out, presets.presets().value(encoder::H264_YUV420_CRF17), 60))
        return 0;
    for (int i = 0; i < kFrames; ++i) {
        core.push(reinterpret_cast<const uint8_t *>(raw.constData()) + size_t(i) * Frame_t::Bytes, Frame_t::Stride, i);
        core.encodeOne();
    }
    core.close();
    return kFrames * 1000.0 / double(t.elapsed());
}

double ffmpegFps(const QString &raw, const QString &out, const QStringList &extra = {})
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.start(QStringLiteral("ffmpeg"),
            QStringList{"-nostdin", "-v",      "error", "-y", "-f",       "rawvideo", "-pix_fmt", "rgb565le",
                        "-s",       "480x272", "-r",    "60", "-i",       raw,        "-c:v",     "libx264",
                        "-preset",  "slow",    "-crf",  "17", "-pix_fmt", "yuv420p"} +
                extra + QStringList{out});
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        return 0;
    return kFrames * 1000.0 / double(t.elapsed());
}

struct Feed {
    double cpu = 0;
    std::vector<double> holdsMs;
    int dropped = 0;
};

// 20 s of frames at 60 fps from a 20-frame pool, each frame's return awaited through the event loop as the video
// worker awaits it; the recorder records when path is set.
Feed feed(const QByteArray &raw, const QString &path)
{
    QThread thread;
    auto *enc = new encoder;
    enc->moveToThread(&thread);
    thread.start();
    std::vector<Frame_t> pool(kPool);
    std::vector<qint64> sentNs(kPool, -1);
    Feed result;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(enc, &encoder::buffDispose, qApp, [&](Frame_t *f) {
        const size_t i = size_t(f - pool.data());
        result.holdsMs.push_back(double(clock.nsecsElapsed() - sentNs[i]) / 1e6);
        sentNs[i] = -1;
    });
    QObject::connect(enc, &encoder::recordingReport, qApp,
                     [&](uint, encoder::EncoderState, uint dropped, QString) { result.dropped = int(dropped); });
    QMetaObject::invokeMethod(
        enc, [enc] { enc->fpsChanged(60); }, Qt::BlockingQueuedConnection);
    if (!path.isEmpty())
        QMetaObject::invokeMethod(
            enc, [enc, path] { enc->startWorker(path, encoder::H264_YUV420_CRF17); }, Qt::BlockingQueuedConnection);
    const double cpu0 = cpuSeconds();
    clock.restart();
    constexpr int kSeconds = 20;
    for (int n = 0; n < 60 * kSeconds; ++n) {
        const qint64 due = qint64(n) * 1000000000LL / 60;
        while (clock.nsecsElapsed() < due) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            QThread::usleep(500);
        }
        auto free = std::find(sentNs.begin(), sentNs.end(), -1);
        if (free == sentNs.end())
            continue; // every frame is out: the worker would count a lost frame
        const size_t i = size_t(free - sentNs.begin());
        Frame_t *f = &pool[i];
        std::memcpy(f->pixels.get(), raw.constData() + (n % kFrames) * Frame_t::Bytes, Frame_t::Bytes);
        f->pts = n;
        sentNs[i] = clock.nsecsElapsed();
        QMetaObject::invokeMethod(
            enc, [enc, f] { enc->newBuff(f); }, Qt::QueuedConnection);
    }
    QMetaObject::invokeMethod(
        enc, [enc] { enc->shutdown(); }, Qt::BlockingQueuedConnection);
    QCoreApplication::processEvents();
    result.cpu = (cpuSeconds() - cpu0) / kSeconds;
    QObject::connect(&thread, &QThread::finished, enc, &QObject::deleteLater);
    thread.quit();
    thread.wait();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    encoder::registerMetaTypes();
    QTemporaryDir dir;
    ScreenRenderer renderer;
    RadioState state;
    QByteArray raw;
    for (int i = 0; i < kFrames; ++i)
        raw += renderer.render(state, uint16_t(i));
    const QString rawPath = dir.filePath(QStringLiteral("frames.rgb565"));
    QFile f(rawPath);
    if (!f.open(QIODevice::WriteOnly) || f.write(raw) != raw.size())
        return 1;
    f.close();

    // FFmpeg's own chatter would drown the result.
    av_log_set_level(AV_LOG_ERROR);
    encoder presets;
    double ours = 0, theirs = 0, theirsSameGop = 0;
    // The recorder keeps a key frame every 10 frames and at most one B-frame (so a file cut short loses little);
    // ffmpeg's defaults are 250 and 3. The second reference encodes with the recorder's structure.
    const QStringList sameGop{"-g", "10", "-bf", "1"};
    for (int round = 0; round < 3; ++round) {
        ours = std::max(ours, coreFps(raw, dir.filePath(QStringLiteral("ours.mp4")), presets));
        theirs = std::max(theirs, ffmpegFps(rawPath, dir.filePath(QStringLiteral("theirs.mp4"))));
        theirsSameGop =
            std::max(theirsSameGop, ffmpegFps(rawPath, dir.filePath(QStringLiteral("theirs-gop.mp4")), sameGop));
    }
    qInfo().noquote() << QStringLiteral("encode: ours %1 fps, ffmpeg %2 fps (best of 3); with -g 10 -bf 1 %3 fps, "
                                        "ours %4 of it")
                             .arg(ours)
                             .arg(theirs)
                             .arg(theirsSameGop)
                             .arg(theirsSameGop > 0 ? ours / theirsSameGop : 0.0, 0, 'f', 2);

    const Feed idle = feed(raw, QString());
    const Feed recording = feed(raw, dir.filePath(QStringLiteral("live.mp4")));
    const double cpu = (recording.cpu - idle.cpu) * 100.0;
    qInfo().noquote() << QStringLiteral("feed: cpu %1% idle, %2% recording; hold p50 %3 ms, max %4 ms")
                             .arg(idle.cpu * 100, 0, 'f', 1)
                             .arg(recording.cpu * 100, 0, 'f', 1)
                             .arg(percentile(recording.holdsMs, 0.5), 0, 'f', 2)
                             .arg(percentile(recording.holdsMs, 1.0), 0, 'f', 2);
    printf("recording: %.1f fps, %.2f of ffmpeg, %.0f%% cpu at 60fps, hold p99 %.2f ms, %d dropped\n", ours,
           theirs > 0 ? ours / theirs : 0.0, cpu, percentile(recording.holdsMs, 0.99), recording.dropped);
    return 0;
}
