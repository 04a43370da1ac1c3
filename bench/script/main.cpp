// MIDI to unit: a controller message (from the scripted MIDI source) goes through an extension's MIDI callback to
// IC7300.touch, to the simulated unit, and comes back as the unit's touch report on the radio's serial line. The
// same touch made by a click on the picture is the reference. Then the GUI thread's idle CPU with an extension and
// a MIDI device open, against neither. The unit runs in a thread of this process; one monotonic clock for all.
#include "BenchStats.h"
#include "support/ClientSettings.h"
#include "support/ScriptedMidiSource.h"

#include "SimOptions.h"
#include "SimUnit.h"
#include "app/SettingsKeys.h"
#include "script/Midi.h"
#include "ui/MainWindow.h"
#include "ui/RenderLabel.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMouseEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <vector>

namespace {

constexpr int kMessages = 1000;
constexpr int kIntervalMs = 20; // 50 per second

QElapsedTimer g_clock;

double threadCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Sends kMessages inputs at 50 per second with send(i) and measures each until the unit's touch report for it
// arrives (reports are matched to inputs in order; releases are not counted).
class Round : public QObject
{
public:
    std::vector<double> latencies;
    std::deque<qint64> pending;

    void run(MainWindow &window, const std::function<void(int)> &send)
    {
        QMetaObject::Connection c =
            connect(window.controller(), &PylonController::newLtxdBytes, this, [this](const QByteArray &bytes) {
                for (int at = bytes.indexOf(QByteArray("\xFE\x13\x00", 3)); at >= 0 && at + 7 < bytes.size();
                     at = bytes.indexOf(QByteArray("\xFE\x13\x00", 3), at + 1)) {
                    const int x = uint8_t(bytes[at + 3]) << 8 | uint8_t(bytes[at + 4]);
                    if (x == 9999 || pending.empty())
                        continue;
                    latencies.push_back((g_clock.nsecsElapsed() - pending.front()) / 1e6);
                    pending.pop_front();
                }
            });
        int sent = 0;
        QEventLoop loop;
        QTimer pace;
        pace.setTimerType(Qt::PreciseTimer);
        connect(&pace, &QTimer::timeout, this, [&] {
            if (sent < kMessages) {
                pending.push_back(g_clock.nsecsElapsed());
                send(sent++);
            } else if (pending.empty()) {
                loop.quit();
            }
        });
        pace.start(kIntervalMs);
        QTimer::singleShot(kMessages * kIntervalMs + 5000, &loop, &QEventLoop::quit);
        loop.exec();
        disconnect(c);
    }
};

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home; // the bench's own settings, never the user's
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QApplication app(argc, argv);
    g_clock.start();
    const QString script = home.filePath(QStringLiteral("bench.qml"));
    {
        QFile f(script);
        f.open(QIODevice::WriteOnly);
        f.write("import QtQuick 2.15\nimport com.fernhollow.singletons 1.0\nItem { Component.onCompleted: "
                "MIDI.bind(0xB0, 0x20, function(s, d, v) { IC7300.touch(Qt.point(100 + v, 100), 5) }) }\n");
        ClientSettings::useSavedAddressOnly(SimOptions::defaultKey());
        QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        s.setValue(SettingsKeys::kMainWindowFrameRate, QStringLiteral("actionFPS_30"));
        s.setValue(SettingsKeys::kViewport, 2);
        s.setValue(SettingsKeys::kMidiDevice, QStringLiteral("None"));
        s.setValue(SettingsKeys::kScript, script);
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

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
            started = sim->start();
        },
        Qt::BlockingQueuedConnection);
    if (!started) {
        std::fprintf(stderr, "bench_script: the simulated unit could not listen (run through tests/netns-run)\n");
        return 1;
    }

    auto source = std::make_unique<ScriptedMidiSource>();
    source->addDevice(QStringLiteral("Pad"), true);
    ScriptedMidiSource *midi = source.get();
    MainWindow window(nullptr, Clock::steady(), std::move(source));
    window.show();
    QElapsedTimer deadline;
    deadline.start();
    while (window.overallStatus()->status() != OverallStatus::Active && deadline.elapsed() < 15000)
        app.processEvents(QEventLoop::AllEvents, 50);
    runFor(1000);

    // Idle, neither extension nor device.
    double cpu0 = threadCpuSeconds();
    qint64 wall0 = g_clock.nsecsElapsed();
    runFor(5000);
    const double idleWithout = (threadCpuSeconds() - cpu0) / ((g_clock.nsecsElapsed() - wall0) / 1e9) * 100.0;

    // The device and the extension, idle.
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
        .setValue(SettingsKeys::kMidiDevice, QStringLiteral("Pad"));
    window.midi()->reloadMidi();
    window.findChild<QAction *>(QStringLiteral("actionExtensions"))->trigger();
    runFor(1000);
    cpu0 = threadCpuSeconds();
    wall0 = g_clock.nsecsElapsed();
    runFor(5000);
    const double idleWith = (threadCpuSeconds() - cpu0) / ((g_clock.nsecsElapsed() - wall0) / 1e9) * 100.0;

    Round midiRound;
    midiRound.run(window, [&](int i) { midi->send(0xB0, 0x20, i % 128); });

    RenderLabel *zone = window.whichLabel();
    Round clickRound;
    clickRound.run(window, [&](int i) {
        const QPointF at(100 + i % 128, 100);
        QMouseEvent press(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(zone, &press);
        QTimer::singleShot(5, zone, [zone, at] {
            QMouseEvent release(QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(zone, &release);
        });
    });

    std::printf("midi: %zu of %d answered; click: %zu of %d answered; zone %s %dx%d\n", midiRound.latencies.size(),
                kMessages, clickRound.latencies.size(), kMessages, qPrintable(zone->objectName()), zone->width(),
                zone->height());
    std::printf("script: midi-to-unit p50 %.1f ms, p99 %.1f ms (click p50 %.1f, p99 %.1f), idle gui cpu %.1f%% "
                "(%.1f%% without)\n",
                percentile(midiRound.latencies, 0.5), percentile(midiRound.latencies, 0.99),
                percentile(clickRound.latencies, 0.5), percentile(clickRound.latencies, 0.99), idleWith, idleWithout);
    window.close();
    QMetaObject::invokeMethod(
        &simContext, [&] { delete sim; }, Qt::BlockingQueuedConnection);
    simThread.quit();
    simThread.wait();
    return 0;
}
