#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwsContext;

// What one recording preset asks of FFmpeg; the texts go to it unchanged.
struct EncoderPresetRecord {
    AVPixelFormat pixelFormat;
    const char *preset;
    const char *codecName;
    const char *crf;
    int64_t bitRate;
};

// The FFmpeg side of a recording, without threads or Qt signals: opens an H.264 MP4 file, converts RGB565 screen
// pictures into a small ring of pictures allocated at open, encodes them from the ring and finishes the file. The
// recorder object drives it; tests and the benchmark drive it directly. push() and encodeOne() may run in two
// threads at once (one each); everything else runs while no encodeOne() is under way.
//
// Every failure is logged with its text (and FFmpeg's own error text where it gives one) and kept as reason().
class EncoderCore
{
public:
    static constexpr int kWidth = 480;
    static constexpr int kHeight = 272;
    // Converted pictures waiting for the codec. A few frames of slack absorb the codec's uneven pace (a key frame
    // costs more) without holding any frame of the producer's pool.
    static constexpr int kRingSlots = 8;
    static constexpr int64_t kBitRate = 136314880;
    static constexpr int kGopSize = 10;

    EncoderCore() = default;
    ~EncoderCore();
    EncoderCore(const EncoderCore &) = delete;
    EncoderCore &operator=(const EncoderCore &) = delete;

    // Opens path (a local file; FFmpeg's other protocols are never used) for a recording at fps frames per second.
    // A running recording is finished first. On failure everything is released again and reason() says why.
    bool open(const QString &path, const EncoderPresetRecord &preset, int fps);
    bool isOpen() const { return m_headerWritten; }

    bool ringFull() const;
    int ringCount() const;
    // Converts one 480 x 272 RGB565LE picture (stride bytes per line) into the ring with the given stamp, in units
    // of 1/fps. The caller checks ringFull() first and keeps stamps increasing.
    bool push(const uint8_t *rgb565, int stride, int64_t pts);
    // Encodes the oldest picture of the ring (if any) and writes what the codec returns. False after a failure;
    // reason() says why, and close() then finishes the file without encoding more.
    bool encodeOne();
    // Encodes what the ring holds, drains the codec, writes the trailer and releases everything. Safe to call any
    // number of times, also after a failure.
    void close();

    int framesEncoded() const { return m_framesEncoded; }
    int packetsWritten() const { return m_packetsWritten; }
    uint64_t bytesOut() const { return m_bytesOut; }
    QString reason() const { return m_reason; }
    QString path() const { return m_path; }

private:
    bool setupInput(const EncoderPresetRecord &preset);
    bool setupCodec(const EncoderPresetRecord &preset, int fps);
    bool setupOutput(const QString &path);
    bool writeHeader();
    bool sendAndWrite(AVFrame *frame);
    void fail(const QString &text, int averror = 0);
    void release();

    SwsContext *m_scaler = nullptr;
    std::vector<AVFrame *> m_ring;
    // Guards head and count only: a slot belongs to the converting side until it is counted, and to the encoding
    // side until it is taken off the count again.
    mutable std::mutex m_ringLock;
    int m_ringHead = 0;
    int m_ringCount = 0;
    AVFormatContext *m_formatContext = nullptr;
    AVStream *m_stream = nullptr;
    AVCodecContext *m_codecContext = nullptr;
    AVPacket *m_packet = nullptr;
    bool m_headerWritten = false;
    bool m_failed = false;
    std::atomic<int> m_framesEncoded{0};
    std::atomic<int> m_packetsWritten{0};
    std::atomic<uint64_t> m_bytesOut{0};
    QString m_reason;
    QString m_path;
};

// FFmpeg's text for an error code (its own 64-byte buffer).
QString avErrorText(int averror);
