#pragma once

#include "app/Clock.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class QJSEngine;

// Stops a runaway extension. While an engine is watched, the GUI thread beats every 100 ms; when the beat stops for
// longer than the limit, a thread of its own interrupts the engine, which ends the script's loop (interpreted or
// compiled) with an error. Back in the event loop, stopped() tells the owner to switch the extension off.
class ScriptWatchdog : public QObject
{
    Q_OBJECT
public:
    static constexpr int kLimitMs = 5000;
    static constexpr int kBeatMs = 100;

    explicit ScriptWatchdog(QObject *parent = nullptr, const Clock *clock = Clock::steady(), int limitMs = kLimitMs);
    ~ScriptWatchdog() override;

    // Watches engine from now on (null: watches nothing).
    void watch(QJSEngine *engine);

signals:
    // The watched engine was interrupted; emitted on the GUI thread once it runs events again.
    void stopped();

private:
    void beat();
    void run();

    const Clock *m_clock;
    const int m_limitMs;
    QTimer m_beat;
    std::atomic<qint64> m_lastBeat{0};
    std::atomic<bool> m_tripped{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    QJSEngine *m_engine = nullptr; // guarded by m_mutex
    bool m_quit = false;           // guarded by m_mutex
    std::thread m_thread;
};
