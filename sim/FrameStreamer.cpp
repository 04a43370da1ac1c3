#include "FrameStreamer.h"

#include <QDebug>

#include <algorithm>
#include <limits>

namespace {
constexpr qint64 kNsPerSecond = 1000000000LL;
constexpr int kUnitFps = 60;
// Several bursts, so a frame never waits for the previous one to leave.
constexpr int kSendBufferBytes = 4 * 1024 * 1024;
} // namespace

FrameStreamer::FrameStreamer(const RadioState *state, const Config &config, QObject *parent)
    : QObject(parent), m_state(state), m_config(config), m_frameNumber(config.firstFrame),
      m_datagram(DatagramBytes, '\0'), m_random(config.seed)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FrameStreamer::sendFrame);
    for (int i = 0; i < ScreenRenderer::Height; ++i)
        m_order[i] = i;
    m_socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    m_socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBufferBytes);
    m_clock.start();
}

void FrameStreamer::start(const QHostAddress &target)
{
    const bool wasOn = isStreaming();
    if (wasOn && target == m_target)
        return;
    m_target = target;
    qInfo().noquote() << QStringLiteral("Streaming to %1:%2 at %3 fps")
                             .arg(target.toString())
                             .arg(m_config.port)
                             .arg(double(kUnitFps) / (double(m_divisor) + 1.0), 0, 'g', 4);
    if (!wasOn) {
        if (!m_streaming.isValid())
            m_streaming.start();
        m_nextDueNs = m_clock.nsecsElapsed();
        m_timer.start(0);
        emit streamingChanged(true);
    }
}

void FrameStreamer::stop()
{
    if (!isStreaming())
        return;
    m_timer.stop();
    qInfo().noquote() << QStringLiteral("Streaming stopped after %1 frames").arg(m_framesSent);
    emit streamingChanged(false);
}

void FrameStreamer::setDivisor(uint32_t divisor)
{
    m_divisor = divisor;
}

qint64 FrameStreamer::periodNs() const
{
    return (qint64(m_divisor) + 1) * kNsPerSecond / kUnitFps;
}

void FrameStreamer::scheduleNext()
{
    m_nextDueNs += periodNs();
    const qint64 now = m_clock.nsecsElapsed();
    // After a stall (a busy host) start a fresh schedule instead of bursting to catch up.
    if (m_nextDueNs < now - periodNs())
        m_nextDueNs = now;
    m_timer.start(int(qBound<qint64>(0, (m_nextDueNs - now) / 1000000, std::numeric_limits<int>::max())));
}

void FrameStreamer::sendFrame()
{
    if (m_config.stallAfterMs > 0 && !m_stalled && m_streaming.elapsed() >= m_config.stallAfterMs) {
        m_stalled = true;
        qInfo().noquote() << QStringLiteral("Stream stalled: no more datagrams are sent");
    }
    if (m_stalled) {
        scheduleNext();
        return;
    }
    if (m_state->powered && !m_target.isNull()) {
        // Frame numbers count the unit's 60 Hz display periods, not the frames sent: at a lower rate they advance
        // by the divisor + 1 per frame, so that a recording can time each frame from its number.
        const uint16_t frame = m_frameNumber;
        m_frameNumber = uint16_t(m_frameNumber + m_divisor + 1);
        const QByteArray &pixels = m_renderer.render(*m_state, frame);
        // The last line completes a frame at the receiver, so it stays last; the
        // others come in any order, as a reordering network delivers them.
        if (m_config.shuffle)
            std::shuffle(std::begin(m_order), std::end(m_order) - 1, m_random);
        auto *d = reinterpret_cast<uint8_t *>(m_datagram.data());
        d[2] = uint8_t(frame & 0xFF);
        d[3] = uint8_t(frame >> 8);
        for (int line : m_order) {
            if (m_config.lossPercent > 0 && int(m_random() % 100) < m_config.lossPercent) {
                ++m_dropped;
                continue;
            }
            d[4] = uint8_t(line & 0xFF);
            d[5] = uint8_t(line >> 8);
            std::copy_n(pixels.constData() + line * ScreenRenderer::LineBytes, ScreenRenderer::LineBytes,
                        m_datagram.data() + HeaderBytes);
            if (m_socket.writeDatagram(m_datagram.constData(), DatagramBytes, m_target, m_config.port) !=
                DatagramBytes) {
                if (m_sendFailures++ == 0)
                    qWarning().noquote() << QStringLiteral("Datagram send failed: %1").arg(m_socket.errorString());
            }
        }
        ++m_framesSent;
        emit frameSent(frame, pixels);
    }
    scheduleNext();
}
