// Display latency and cost: the simulated unit runs in a thread of this process and notes when it sent line 271 of
// each frame; the main window, connected to it as to a real unit, notes when it paints that frame. Both use one
// monotonic clock. Then the paint alone is timed at 1x and 2x scale, and the GUI thread's CPU at 60 fps.
#include "BenchStats.h"
#include "SimOptions.h"
#include "SimUnit.h"
#include "app/SettingsKeys.h"
#include "ui/MainWindow.h"
#include "ui/RenderLabel.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QMutex>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QElapsedTimer g_clock;
QMutex g_mutex;
qint64 g_sentAt[65536];
std::vector<double> g_latencies;
int g_frames = 600;

double threadCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Notes the moment each newly held frame has been painted.
class PaintWatch : public QObject
{
public:
    explicit PaintWatch(RenderLabel *zone) : m_zone(zone) {}
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_zone && event->type() == QEvent::Paint && m_zone->heldFrame()) {
            const uint16_t n = m_zone->heldFrame()->frameNumber;
            if (n != m_lastPainted) {
                m_lastPainted = n;
                // Let the label paint now, inside the filter, so that the time taken is that of the finished paint.
                m_zone->removeEventFilter(this);
                QCoreApplication::sendEvent(m_zone, event);
                m_zone->installEventFilter(this);
                QMutexLocker lock(&g_mutex);
                if (g_sentAt[n] > 0 && int(g_latencies.size()) < g_frames)
                    g_latencies.push_back((g_clock.nsecsElapsed() - g_sentAt[n]) / 1e6);
                return true;
            }
        }
        return false;
    }

private:
    RenderLabel *m_zone;
    uint16_t m_lastPainted = 0xFFFF;
};

double paintMs(RenderLabel *zone, const QSize &size, int rounds)
{
    zone->resize(size);
    QImage target(size, QImage::Format_RGB32);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < rounds; ++i) {
        QPainter p(&target);
        zone->render(&p);
    }
    return t.nsecsElapsed() / 1e6 / rounds;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home; // the bench's own settings, never the user's
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QApplication app(argc, argv);
    g_clock.start();
    {
        QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        s.clear();
        s.setValue(SettingsKeys::kNetPsk, SimOptions::defaultKey());
        s.setValue(QStringLiteral("connectPrio/LOC_IP/prio"), 0);
        s.setValue(QStringLiteral("connectPrio/LOC_IP/checked"), true);
        s.setValue(QStringLiteral("connectPrio/LOC_IP/extended"), QStringLiteral("127.0.0.1"));
        for (const char *t : {"LOC_DIRECT_MDNS", "LOC_PROXY_MDNS", "LOC_DNS"})
            s.setValue(QStringLiteral("connectPrio/%1/checked").arg(QLatin1String(t)), false);
        s.setValue(SettingsKeys::kMainWindowFrameRate, QStringLiteral("actionFPS_60"));
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    // The unit is built inside its own thread so that its sockets and timers all belong to that thread.
    QThread simThread;
    simThread.start();
    QObject simContext;
    simContext.moveToThread(&simThread);
    SimOptions options;
    options.mdns = false;
    SimUnit *sim = nullptr;
    bool started = false;
    QMetaObject::invokeMethod(
        &simContext,
        [&] {
            sim = new SimUnit(options);
            QObject::connect(
                &sim->streamer(), &FrameStreamer::frameSent, &sim->streamer(),
                [](uint16_t n, const QByteArray &) {
                    QMutexLocker lock(&g_mutex);
                    g_sentAt[n] = g_clock.nsecsElapsed();
                },
                Qt::DirectConnection);
            started = sim->start();
        },
        Qt::BlockingQueuedConnection);
    if (!started) {
        std::fprintf(stderr, "bench_display: the simulated unit could not listen (run through tests/netns-run)\n");
        return 1;
    }

    MainWindow window;
    window.show();
    app.processEvents();
    RenderLabel *zone = window.whichLabel();
    PaintWatch watch(zone);
    zone->installEventFilter(&watch);

    // Warm up until the stream runs, then measure the GUI thread over the 600 frames.
    QElapsedTimer deadline;
    deadline.start();
    while (window.overallStatus()->status() != OverallStatus::Active && deadline.elapsed() < 15000)
        app.processEvents(QEventLoop::AllEvents, 50);
    {
        QMutexLocker lock(&g_mutex);
        g_latencies.clear();
    }
    const double cpu0 = threadCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    // Block in the event loop as the application does; polling here would be counted as the GUI thread's work.
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        QMutexLocker lock(&g_mutex);
        if (int(g_latencies.size()) >= g_frames || wall.elapsed() > 30000)
            loop.quit();
    });
    check.start(100);
    loop.exec();
    const double cpu = (threadCpuSeconds() - cpu0) / (wall.nsecsElapsed() / 1e9) * 100.0;
    const int painted = int(g_latencies.size());
    const double p50 = percentile(g_latencies, 0.50);
    const double p99 = percentile(g_latencies, 0.99);

    zone->removeEventFilter(&watch);
    // The paint alone, on a label of its own holding a copy of the last picture.
    Frame_t still;
    if (const Frame_t *shown = zone->heldFrame())
        std::copy_n(shown->pixels.get(), Frame_t::Bytes, still.pixels.get());
    RenderLabel bench;
    bench.changedStatus(OverallStatus::Active);
    bench.setFrame(&still);
    const double paint1 = paintMs(&bench, QSize(480, 272), 200);
    const double paint2 = paintMs(&bench, QSize(960, 544), 200);
    bench.setFrame(nullptr);

    int sent = 0;
    for (qint64 t : g_sentAt)
        sent += t > 0;
    std::printf("frames sent: %d, painted: %d of %d in %.1f s, status %s, zone %s\n", sent, painted, g_frames,
                wall.elapsed() / 1000.0, qPrintable(OverallStatus::statusName(window.overallStatus()->status())),
                qPrintable(window.whichLabel()->objectName()));
    std::printf("paint at 1x: %.3f ms\n", paint1);
    std::printf("display: latency p50 %.2f ms, p99 %.2f ms, paint %.3f ms at 2x, gui cpu %.1f%%\n", p50, p99, paint2,
                cpu);
    QMetaObject::invokeMethod(
        &simContext, [&] { delete sim; }, Qt::BlockingQueuedConnection);
    simThread.quit();
    simThread.wait();
    return 0;
}
