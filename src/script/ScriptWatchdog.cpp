#include "script/ScriptWatchdog.h"

#include <QJSEngine>

#include <chrono>

ScriptWatchdog::ScriptWatchdog(QObject *parent, const Clock *clock, int limitMs)
    : QObject(parent), m_clock(clock), m_limitMs(limitMs)
{
    m_beat.setInterval(kBeatMs);
    connect(&m_beat, &QTimer::timeout, this, &ScriptWatchdog::beat);
    m_thread = std::thread([this] { run(); });
}

ScriptWatchdog::~ScriptWatchdog()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_engine = nullptr;
    }
    m_wake.notify_all();
    m_thread.join();
}

void ScriptWatchdog::watch(QJSEngine *engine)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_engine = engine;
        m_lastBeat = m_clock->nowMs();
        m_tripped = false;
    }
    if (engine)
        m_beat.start();
    else
        m_beat.stop();
    m_wake.notify_all();
}

void ScriptWatchdog::beat()
{
    m_lastBeat = m_clock->nowMs();
    if (m_tripped.exchange(false))
        emit stopped();
}

void ScriptWatchdog::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_quit) {
        if (!m_engine) {
            m_wake.wait(lock);
            continue;
        }
        m_wake.wait_for(lock, std::chrono::milliseconds(kBeatMs));
        if (m_quit || !m_engine || m_tripped)
            continue;
        if (m_clock->nowMs() - m_lastBeat > m_limitMs) {
            // Thread-safe by design: the engine checks the flag between instructions of the running script.
            m_engine->setInterrupted(true);
            m_tripped = true;
        }
    }
}
