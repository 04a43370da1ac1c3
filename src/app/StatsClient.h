#pragma once

#include "app/Clock.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>

// Process-wide stream statistics. The counters may be fed from any thread; the
// sampling timer runs in the thread that first asks for the instance (start-up
// does that from the GUI thread).
class StatsClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int SamplesPerSecond = 10;
    static constexpr int WindowSamples = 10; // one second

    static constexpr int SampleMs = 1000 / SamplesPerSecond;

    static StatsClient *instance();

    // Samples are taken per 100 ms of this clock (the steady clock unless the owner sets another); the
    // timer only says when to look.
    void setClock(const Clock *clock);

    static void bytesReceived(uint32_t b) { s_bytesIn.fetch_add(b, std::memory_order_relaxed); }
    static void compressedBytesOut(uint32_t b) { s_bytesOut.fetch_add(b, std::memory_order_relaxed); }
    static void frameReceived() { s_frames.fetch_add(1, std::memory_order_relaxed); }

    // One-second averages x 100, truncated, for the renderer's overlay.
    static int networkBytesPerSecondX100() { return s_bpsInX100.load(std::memory_order_relaxed); }
    static int framesPerSecondX100() { return s_fpsX100.load(std::memory_order_relaxed); }

signals:
    void newStats(double bpsIn, double bpsOut, double fps);

private:
    StatsClient();
    void sample();

    static std::atomic<uint32_t> s_bytesIn;
    static std::atomic<uint32_t> s_bytesOut;
    static std::atomic<uint32_t> s_frames;
    static std::atomic<int> s_bpsInX100;
    static std::atomic<int> s_fpsX100;

    void pushSample(double in, double out, double fps);

    const Clock *m_clock = Clock::steady();
    qint64 m_lastSampleMs = 0;
    QTimer m_timer;
    double m_in[WindowSamples] = {};
    double m_out[WindowSamples] = {};
    double m_fps[WindowSamples] = {};
    int m_index = 0;
};
