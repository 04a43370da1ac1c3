// bench_console: coloured console text from the emulated unit into the firmware window.
//
// Phase 1 writes at the full 921600-baud line rate (92160 B/s) for 5 s: the window
// reads at most 1024 bytes per 33 ms tick, so the chip's buffer overflows and the
// rest is dropped; the shown rate is compared with that cap. Phase 2 writes 10 kB/s
// for 5 s, each line stamped with the time it was sent, and measures how long until
// the window shows it. The GUI thread's CPU time is measured over phase 1.
#include "BenchStats.h"
#include "UnitConsole.h"
#include "maintenance/Firmware.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace {

QElapsedTimer g_clock;
std::mutex g_mutex;
std::vector<double> g_latencies;
bool g_measure = false;

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Every status line passes through the log; stamped lines give their latency.
void handler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (!g_measure)
        return;
    static const QRegularExpression stamp(QStringLiteral("T(\\d+)U"));
    const qint64 now = g_clock.nsecsElapsed() / 1000;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = stamp.globalMatch(message); it.hasNext();)
        g_latencies.push_back((now - it.next().captured(1).toLongLong()) / 1000.0);
}

// The unit writes rate bytes per second of coloured lines for seconds, in 1 ms slices.
void produce(UnitConsole &console, int rate, double seconds, bool stamped, std::atomic<long long> &sent)
{
    const auto start = std::chrono::steady_clock::now();
    double owed = 0;
    std::string pending;
    for (auto now = start; now - start < std::chrono::duration<double>(seconds);
         now = std::chrono::steady_clock::now()) {
        owed += rate / 1000.0;
        while (pending.size() < size_t(owed)) {
            char line[96];
            if (stamped)
                std::snprintf(line, sizeof line, "\x1b[32mtick\x1b[0m T%lldU \x1b[1;33mok\x1b[0m\r\n",
                              g_clock.nsecsElapsed() / 1000);
            else
                std::snprintf(line, sizeof line, "\x1b[32mvq6020\x1b[0m console \x1b[1;33m%08lld\x1b[0m\r\n",
                              sent.load());
            pending += line;
        }
        const size_t n = size_t(owed);
        console.say(pending.substr(0, n));
        pending.erase(0, n);
        owed -= double(n);
        sent += (long long)n;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Runs the event loop for ms without spinning, so the thread's CPU time is the window's.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    g_clock.start();
    qInstallMessageHandler(handler);

    auto unit = std::make_shared<EmulatedUnit>();
    unit->setRecording(false);
    auto console = std::make_shared<UnitConsole>(unit);
    ftdiTransportFactory() = consoleFtdiFactory(console);
    Firmware window;
    QMetaObject::invokeMethod(&window, "on_log_clicked");

    const double seconds = 5;
    const double cap = Firmware::kConsoleReadBytes * 1000.0 / FirmwareJobs::kTickMs;
    std::atomic<long long> sent{0};

    // Phase 1: full line rate.
    std::thread full([&] { produce(*console, UnitConsole::kBaud / 10, seconds, false, sent); });
    const double cpu0 = threadCpuMs();
    QElapsedTimer wall;
    wall.start();
    runFor(int(seconds * 1000));
    full.join();
    const double gui = (threadCpuMs() - cpu0) / double(wall.elapsed()) * 100;
    size_t left;
    {
        std::lock_guard<std::mutex> lock(unit->mutex());
        left = unit->channel(1).uartReceive.size();
    }
    const long long dropped = (long long)unit->consoleLost();
    const double shown = double(sent - dropped - (long long)left) / (wall.elapsed() / 1000.0);

    // Drain, then phase 2: 10 kB/s with stamped lines.
    runFor(300);
    g_measure = true;
    std::atomic<long long> sent2{0};
    std::thread slow([&] { produce(*console, 10000, seconds, true, sent2); });
    wall.restart();
    runFor(int(seconds * 1000) + 300);
    slow.join();
    g_measure = false;
    const long long dropped2 = (long long)unit->consoleLost() - dropped;

    std::vector<double> lat;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        lat = g_latencies;
    }
    std::printf("reference: tick cap %.0f B/s (1024 B per %d ms); line rate %d B/s; %zu latency samples, %lld B "
                "dropped at 10 kB/s\n",
                cap, FirmwareJobs::kTickMs, UnitConsole::kBaud / 10, lat.size(), dropped2);
    std::printf("console: %.0f B/s shown = %.3f of the tick cap, %lld B dropped, latency p50 %.1f ms p99 %.1f ms, gui "
                "cpu %.1f%%\n",
                shown, shown / cap, dropped, percentile(lat, 0.5), percentile(lat, 0.99), gui);
    return 0;
}
