#include "recording/encoder.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QTimerEvent>

namespace {
// A coarse timer may fire a little early; a report skipped for that would leave two seconds between reports.
constexpr int kStatsSlackMs = 100;
} // namespace

void encoder::registerMetaTypes()
{
    qRegisterMetaType<encoder::EncoderPreset>("encoder::EncoderPreset");
    qRegisterMetaType<encoder::EncoderState>("encoder::EncoderState");
    qRegisterMetaType<Frame_t *>("Frame_t*");
}

bool encoder::isValidRate(int fps)
{
    return fps == 60 || fps == 30 || fps == 15 || fps == 10 || fps == 5 || fps == 1;
}

encoder::encoder(QObject *parent) : QObject(parent)
{
    const auto yuv420 = [](const char *crf) {
        return EncoderPresetRecord{AV_PIX_FMT_YUV420P, "slow", "libx264", crf, EncoderCore::kBitRate};
    };
    m_presets.insert(H264_RGB_CRF_0, {AV_PIX_FMT_RGB24, "slow", "libx264rgb", "0", EncoderCore::kBitRate});
    m_presets.insert(H264_YUV444_CRF_0, {AV_PIX_FMT_YUV444P, "slow", "libx264", "0", EncoderCore::kBitRate});
    m_presets.insert(H264_YUV420_CRF17, yuv420("17"));
    m_presets.insert(H264_YUV420_CRF27, yuv420("27"));
    m_presets.insert(H264_YUV420_CRF30, yuv420("30"));
    m_presets.insert(H264_YUV420_CRF51, yuv420("51"));
}

encoder::~encoder()
{
    shutdown();
}

void encoder::fpsChanged(int fps)
{
    if (!isValidRate(fps)) {
        qWarning().noquote()
            << QStringLiteral("Encoder refused frame rate %1: not one of 60, 30, 15, 10, 5, 1").arg(fps);
        return;
    }
    m_fps = fps;
    m_ptsDivisor = kDisplayRate / fps;
    qInfo().noquote() << QStringLiteral("Encoder informed of %1 FPS, PTS Divisor %2").arg(fps).arg(m_ptsDivisor);
}

void encoder::startWorker(QString filename, encoder::EncoderPreset encoder_id)
{
    if (!m_presets.contains(encoder_id)) {
        qWarning().noquote() << "Invalid Encoder Preset selected";
        return;
    }
    // A start while recording finishes the running file first, index and all.
    if (m_core.isOpen())
        shutdown();

    if (!m_statsTimer) {
        m_statsTimer = startTimer(kStatsIntervalMs, Qt::CoarseTimer);
        m_statsClock.start();
    }
    ++m_recording;
    m_reason.clear();
    m_dropped = 0;
    m_bytesIn = m_lastBytesIn = m_lastBytesOut = 0;
    m_firstPts = -1;
    m_lastPts = -1;
    m_recordingDivisor = m_ptsDivisor;
    if (!m_core.open(filename, m_presets.value(encoder_id), m_fps)) {
        m_reason = m_core.reason();
        m_state = FAILED;
        report(0, 0);
        return;
    }
    startCodec();
    m_captureHandle = QRandomGenerator::system()->generate();
    emit deviceWrite(PylonController::dc_capture_app_handle, m_captureHandle);
    m_state = READY;
    report(0, 0);
}

void encoder::newBuff(Frame_t *f)
{
    if (!f || !m_core.isOpen()) {
        emit buffDispose(f);
        return;
    }
    m_bytesIn += uint32_t(Frame_t::Bytes);
    if (m_firstPts < 0)
        m_firstPts = f->pts;
    const int64_t pts = (f->pts - m_firstPts) / m_recordingDivisor;
    // A stamp that does not advance (repeated, or from before this recording's first frame) would make the muxer
    // end the recording; a full ring means the codec is behind. Either way the frame goes on unrecorded.
    if (f->pts < m_firstPts || pts <= m_lastPts || m_core.ringFull()) {
        ++m_dropped;
        emit buffDispose(f);
        return;
    }
    m_core.push(f->pixels.get(), Frame_t::Stride, pts);
    m_lastPts = pts;
    m_state = ACTIVE;
    emit buffDispose(f);
    {
        // Taken between the change and the wake-up, so the codec thread cannot miss it.
        std::lock_guard<std::mutex> lock(m_wakeLock);
    }
    m_wake.notify_one();
}

void encoder::startCodec()
{
    m_codecStop = false;
    m_codecThread = std::thread([this, recording = m_recording] { codecLoop(recording); });
}

void encoder::codecLoop(uint recording)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_wakeLock);
            m_wake.wait(lock, [this] { return m_codecStop || m_core.ringCount() > 0; });
            if (m_codecStop)
                return;
        }
        if (!m_core.encodeOne()) {
            // The recorder's thread finishes the file; by then another recording may have begun.
            QMetaObject::invokeMethod(
                this,
                [this, recording] {
                    if (recording == m_recording)
                        stop(m_core.reason());
                },
                Qt::QueuedConnection);
            return;
        }
    }
}

void encoder::stopCodec()
{
    if (!m_codecThread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_wakeLock);
        m_codecStop = true;
    }
    m_wake.notify_one();
    m_codecThread.join();
}

void encoder::shutdown()
{
    stop(QString());
}

void encoder::stop(const QString &reason)
{
    const bool wasRecording = m_core.isOpen() || m_state == READY || m_state == ACTIVE;
    stopCodec();
    m_core.close();
    if (!wasRecording)
        return;
    const int encoded = m_core.framesEncoded();
    qInfo().noquote()
        << QStringLiteral("Recording finished: %1 frames encoded, %2 dropped").arg(encoded).arg(m_dropped);
    // A failure while the file is finished (the disk filled up at the last write) is a reason too.
    m_reason = reason.isEmpty() ? m_core.reason() : reason;
    m_state = STOPPED;
    m_firstPts = -1;
    m_bytesIn = m_lastBytesIn = m_lastBytesOut = 0;
    report(0, 0);
}

void encoder::deviceRead(PylonController::Register r, uint data)
{
    if (m_core.isOpen() && r == PylonController::dc_capture_app_handle && data != m_captureHandle) {
        const QString text =
            QStringLiteral("Device handle does match our capture handle, timebase lost, capture halted");
        qWarning().noquote() << text;
        stop(text);
    }
}

void encoder::report(double outputBitrate, double inputBitrate)
{
    const bool open = m_core.isOpen();
    emit recordingReport(m_recording, m_state, m_dropped, m_reason);
    emit stats(m_state, open ? uint(m_core.framesEncoded()) : 0, open ? uint(m_core.bytesOut()) : 0, outputBitrate,
               inputBitrate);
}

void encoder::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_statsTimer) {
        QObject::timerEvent(event);
        return;
    }
    const qint64 elapsed = m_statsClock.elapsed();
    if (elapsed < kStatsIntervalMs - kStatsSlackMs)
        return;
    m_statsClock.restart();
    const uint32_t bytesOut = m_core.isOpen() ? uint32_t(m_core.bytesOut()) : 0;
    const double outputBitrate = double(bytesOut - m_lastBytesOut) * 8.0 / double(elapsed) * 1000.0;
    const double inputBitrate = double(m_bytesIn - m_lastBytesIn) * 8.0 / double(elapsed) * 1000.0;
    m_lastBytesOut = bytesOut;
    m_lastBytesIn = m_bytesIn;
    report(outputBitrate, inputBitrate);
}
