#pragma once

#include "app/Frame.h"
#include "link/PylonController.h"
#include "recording/EncoderCore.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

// The screen recorder. Lives in a thread of its own; every slot runs there. Frames are converted into the
// recording's ring as they arrive and passed on at once; a codec thread of the recording encodes them from the
// ring. So a codec slower than the frame rate (or one that stalls for a moment) never holds the frame chain: a
// frame that finds the ring full is passed on unencoded and counted as dropped.
class encoder : public QObject
{
    Q_OBJECT
public:
    enum EncoderPreset {
        H264_RGB_CRF_0,
        H264_YUV444_CRF_0,
        H264_YUV420_CRF17,
        H264_YUV420_CRF27,
        H264_YUV420_CRF30,
        H264_YUV420_CRF51
    };
    Q_ENUM(EncoderPreset)
    enum EncoderState { IDLE, READY, ACTIVE, STOPPED, FAILED };
    Q_ENUM(EncoderState)

    static constexpr int kStatsIntervalMs = 1000;
    // The frame rates the unit can be set to; the stamps of a frame count 1/60 s display periods.
    static constexpr int kDisplayRate = 60;

    // Registers the preset and state types (and the frame pointer) for queued signals.
    static void registerMetaTypes();
    static bool isValidRate(int fps);

    explicit encoder(QObject *parent = nullptr);
    ~encoder() override;

    const QMap<EncoderPreset, EncoderPresetRecord> &presets() const { return m_presets; }
    EncoderState state() const { return m_state; }
    // Converted frames waiting for the codec.
    int pendingFrames() const { return m_core.ringCount(); }

public slots:
    void startWorker(QString filename, encoder::EncoderPreset encoder_id);
    void shutdown();
    void newBuff(Frame_t *f);
    void fpsChanged(int fps);
    void deviceRead(PylonController::Register r, uint data);

signals:
    void buffDispose(Frame_t *f);
    void stats(encoder::EncoderState state, uint framesEncoded, uint file_size, double outputBitrate,
               double inputBitrate);
    void deviceWrite(PylonController::Register r, uint data);
    // Which recording (counting every accepted start of this object's life, from 1) a report belongs to, with the
    // frames it dropped and why it ended when it did not end by the user's stop. Sent just before each stats.
    void recordingReport(uint recording, encoder::EncoderState state, uint dropped, QString reason);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void startCodec();
    void stopCodec();
    void codecLoop(uint recording);
    void stop(const QString &reason);
    void report(double outputBitrate, double inputBitrate);

    QMap<EncoderPreset, EncoderPresetRecord> m_presets;
    EncoderCore m_core;
    int m_fps = kDisplayRate;
    int m_ptsDivisor = 1;
    // Fixed for each recording at its start: a rate change during a recording must not stretch its stamps.
    int m_recordingDivisor = 1;
    int64_t m_firstPts = -1;
    int64_t m_lastPts = -1;
    std::thread m_codecThread;
    std::mutex m_wakeLock;
    std::condition_variable m_wake;
    bool m_codecStop = false;
    uint32_t m_captureHandle = 0;
    uint32_t m_bytesIn = 0;
    uint32_t m_lastBytesIn = 0;
    uint32_t m_lastBytesOut = 0;
    uint32_t m_dropped = 0;
    uint m_recording = 0;
    QString m_reason;
    EncoderState m_state = IDLE;
    int m_statsTimer = 0;
    QElapsedTimer m_statsClock;
};

Q_DECLARE_METATYPE(encoder::EncoderPreset)
Q_DECLARE_METATYPE(encoder::EncoderState)
