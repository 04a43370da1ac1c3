#include "app/StatsClient.h"

#include <limits>

namespace {
// A second of 60 fps video is 16 MB, x 100 close to the int range already; a stalled
// stream flushing its receive buffer at once would overflow it.
int toOverlayInt(double v)
{
    if (v >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    return int(v);
}
} // namespace

std::atomic<uint32_t> StatsClient::s_bytesIn{0};
std::atomic<uint32_t> StatsClient::s_bytesOut{0};
std::atomic<uint32_t> StatsClient::s_frames{0};
std::atomic<int> StatsClient::s_bpsInX100{0};
std::atomic<int> StatsClient::s_fpsX100{0};

StatsClient *StatsClient::instance()
{
    // Lives until exit: the overlay and the relay window read it to the end.
    static StatsClient *s = new StatsClient;
    return s;
}

StatsClient::StatsClient() : m_lastSampleMs(m_clock->nowMs()), m_timer(this)
{
    connect(&m_timer, &QTimer::timeout, this, &StatsClient::sample);
    // Never early: a tick before the 100 ms are full would find no sample due and leave the overlay stale
    // until the next one.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.start(SampleMs);
}

void StatsClient::setClock(const Clock *clock)
{
    m_clock = clock;
    m_lastSampleMs = clock->nowMs();
}

void StatsClient::sample()
{
    qint64 due = (m_clock->nowMs() - m_lastSampleMs) / SampleMs;
    if (due <= 0)
        return;
    // A tick that comes late (a busy GUI thread) takes one sample per period it covers, so a rate stays per
    // second; past a whole window of quiet periods more of them change nothing.
    if (due > WindowSamples) {
        m_lastSampleMs += (due - WindowSamples) * SampleMs;
        due = WindowSamples;
    }
    pushSample(double(s_bytesIn.exchange(0)) * SamplesPerSecond, double(s_bytesOut.exchange(0)) * SamplesPerSecond,
               double(s_frames.exchange(0)) * SamplesPerSecond);
    for (qint64 i = 1; i < due; ++i)
        pushSample(0, 0, 0);
    m_lastSampleMs += due * SampleMs;
}

void StatsClient::pushSample(double in, double out, double fps)
{
    m_in[m_index] = in;
    m_out[m_index] = out;
    m_fps[m_index] = fps;
    m_index = (m_index + 1) % WindowSamples;

    double avgIn = 0, avgOut = 0, avgFps = 0;
    for (int i = 0; i < WindowSamples; ++i) {
        avgIn += m_in[i];
        avgOut += m_out[i];
        avgFps += m_fps[i];
    }
    avgIn /= WindowSamples;
    avgOut /= WindowSamples;
    avgFps /= WindowSamples;

    s_bpsInX100.store(toOverlayInt(avgIn * 100), std::memory_order_relaxed);
    s_fpsX100.store(toOverlayInt(avgFps * 100), std::memory_order_relaxed);
    emit newStats(avgIn, avgOut, avgFps);
}
