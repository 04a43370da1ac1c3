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

StatsClient::StatsClient()
{
    connect(&m_timer, &QTimer::timeout, this, &StatsClient::sample);
    m_timer.start(1000 / SamplesPerSecond);
}

void StatsClient::sample()
{
    m_in[m_index] = double(s_bytesIn.exchange(0)) * SamplesPerSecond;
    m_out[m_index] = double(s_bytesOut.exchange(0)) * SamplesPerSecond;
    m_fps[m_index] = double(s_frames.exchange(0)) * SamplesPerSecond;
    m_index = (m_index + 1) % WindowSamples;

    double in = 0, out = 0, fps = 0;
    for (int i = 0; i < WindowSamples; ++i) {
        in += m_in[i];
        out += m_out[i];
        fps += m_fps[i];
    }
    in /= WindowSamples;
    out /= WindowSamples;
    fps /= WindowSamples;

    s_bpsInX100.store(toOverlayInt(in * 100), std::memory_order_relaxed);
    s_fpsX100.store(toOverlayInt(fps * 100), std::memory_order_relaxed);
    emit newStats(in, out, fps);
}
