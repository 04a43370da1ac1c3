#pragma once

#include "RadioState.h"
#include "ScreenRenderer.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <random>

// Sends the simulated screen the way the unit does: each frame as one burst of
// 272 datagrams of 966 bytes (2 unused bytes, frame number and line number as
// little-endian 16-bit values, 960 pixel bytes), 60 / (divisor + 1) frames per
// second. Frame numbers count 60 Hz display periods (they advance by divisor + 1 per frame sent) and wrap at 65536.
// While the radio is off nothing is sent.
class FrameStreamer : public QObject
{
    Q_OBJECT
public:
    static constexpr int DatagramBytes = 966;
    static constexpr int HeaderBytes = 6;

    struct Config {
        int lossPercent = 0;
        bool shuffle = false;
        uint32_t seed = 1;
        uint16_t firstFrame = 0;
        quint16 port = 1337;
        // Fault switch: after this long streaming, nothing more is sent (0 = never).
        int stallAfterMs = 0;
    };

    FrameStreamer(const RadioState *state, const Config &config, QObject *parent = nullptr);

    // Starts streaming to target (or moves an active stream there).
    void start(const QHostAddress &target);
    void stop();
    bool isStreaming() const { return m_timer.isActive(); }
    QHostAddress target() const { return m_target; }
    void setDivisor(uint32_t divisor);
    uint32_t divisor() const { return m_divisor; }
    uint16_t nextFrameNumber() const { return m_frameNumber; }
    quint64 framesSent() const { return m_framesSent; }
    quint64 datagramsDropped() const { return m_dropped; }

signals:
    void streamingChanged(bool on);
    // Emitted after a frame's burst went out, with the pixels that were sent.
    void frameSent(uint16_t frameNumber, const QByteArray &pixels);

private slots:
    void sendFrame();

private:
    qint64 periodNs() const;
    void scheduleNext();

    const RadioState *m_state;
    Config m_config;
    ScreenRenderer m_renderer;
    QUdpSocket m_socket;
    QTimer m_timer;
    QElapsedTimer m_clock;
    QElapsedTimer m_streaming;
    bool m_stalled = false;
    QHostAddress m_target;
    qint64 m_nextDueNs = 0;
    uint32_t m_divisor = 0;
    uint16_t m_frameNumber;
    quint64 m_framesSent = 0;
    quint64 m_dropped = 0;
    quint64 m_sendFailures = 0;
    QByteArray m_datagram;
    int m_order[ScreenRenderer::Height];
    std::mt19937 m_random;
};
