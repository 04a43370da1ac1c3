#include "recording/EncoderCore.h"

#include <QDebug>
#include <QDir>
#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {
// Fragmented MP4: a fragment starts at every key frame and the header is written before the first one, so a file
// cut short by a crash or a power cut still plays up to its last complete fragment.
constexpr char kMovFlags[] = "frag_keyframe+empty_moov+default_base_moof";

struct Dict {
    AVDictionary *d = nullptr;
    ~Dict() { av_dict_free(&d); }
};
} // namespace

QString avErrorText(int averror)
{
    char text[64] = {};
    av_strerror(averror, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

EncoderCore::~EncoderCore()
{
    close();
}

void EncoderCore::fail(const QString &text, int averror)
{
    const QString full = averror ? text + QLatin1Char(' ') + avErrorText(averror) : text;
    qWarning().noquote() << full;
    if (!m_failed)
        m_reason = full;
    m_failed = true;
}

bool EncoderCore::open(const QString &path, const EncoderPresetRecord &preset, int fps)
{
    close();
    m_failed = false;
    m_reason.clear();
    m_framesEncoded = 0;
    m_packetsWritten = 0;
    m_bytesOut = 0;
    m_path = path;
    qInfo().noquote() << QStringLiteral("Attempting to start encoder output to ") + path;

    if (!setupInput(preset)) {
        fail(QStringLiteral("Failed videoInputSetup"));
        release();
        return false;
    }
    if (!setupCodec(preset, fps)) {
        fail(QStringLiteral("Failed videoOutputSetup"));
        release();
        return false;
    }
    if (!setupOutput(path)) {
        fail(QStringLiteral("Failed outSetup"));
        release();
        return false;
    }
    if (!writeHeader()) {
        release();
        return false;
    }
    av_dump_format(m_formatContext, 0, QFile::encodeName(path).constData(), 1);
    qInfo().noquote() << "H264 Encoder Ready";
    m_headerWritten = true;
    return true;
}

bool EncoderCore::setupInput(const EncoderPresetRecord &preset)
{
    m_scaler = sws_getContext(kWidth, kHeight, AV_PIX_FMT_RGB565LE, kWidth, kHeight, preset.pixelFormat, 0, nullptr,
                              nullptr, nullptr);
    if (!m_scaler) {
        fail(QStringLiteral("Failed to create SwsContext"));
        return false;
    }
    m_ring.assign(kRingSlots, nullptr);
    m_ringHead = 0;
    m_ringCount = 0;
    for (AVFrame *&slot : m_ring) {
        slot = av_frame_alloc();
        if (!slot) {
            fail(QStringLiteral("Failed av_frame_alloc"));
            return false;
        }
        slot->format = preset.pixelFormat;
        slot->width = kWidth;
        slot->height = kHeight;
        slot->pts = 0;
        if (const int r = av_frame_get_buffer(slot, 0); r < 0) {
            fail(QStringLiteral("Failed av_frame_get_buffer"), r);
            return false;
        }
    }
    return true;
}

bool EncoderCore::setupCodec(const EncoderPresetRecord &preset, int fps)
{
    const AVCodec *codec = avcodec_find_encoder_by_name(preset.codecName);
    if (!codec) {
        fail(QStringLiteral("Failed to avcodec_find_encoder"));
        return false;
    }
    m_codecContext = avcodec_alloc_context3(codec);
    if (!m_codecContext) {
        fail(QStringLiteral("Failed avcodec_alloc_context3"));
        return false;
    }
    m_packet = av_packet_alloc();
    if (!m_packet) {
        fail(QStringLiteral("Failed av_packet_alloc"));
        return false;
    }
    m_codecContext->bit_rate = preset.bitRate;
    m_codecContext->width = kWidth;
    m_codecContext->height = kHeight;
    m_codecContext->gop_size = kGopSize;
    m_codecContext->max_b_frames = 1;
    m_codecContext->pix_fmt = preset.pixelFormat;
    m_codecContext->time_base = AVRational{1, fps};
    m_codecContext->framerate = AVRational{fps, 1};
    // MP4 keeps the parameter sets in its header rather than in front of each key frame.
    m_codecContext->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    Dict options;
    av_dict_set(&options.d, "preset", preset.preset, 0);
    av_dict_set(&options.d, "crf", preset.crf, 0);
    if (const int r = avcodec_open2(m_codecContext, codec, &options.d); r < 0) {
        fail(QStringLiteral("Failed avcodec_open2"), r);
        return false;
    }
    return true;
}

bool EncoderCore::setupOutput(const QString &path)
{
    // Only ever a local file: the "file:" protocol keeps a stored folder such as "tcp://h:1" from reaching the
    // network, and a relative path would land wherever the program happened to be started.
    if (!QDir::isAbsolutePath(path)) {
        fail(QStringLiteral("Failed to open ") + path + QStringLiteral(" not an absolute path"));
        return false;
    }
    const QByteArray url = "file:" + QFile::encodeName(QDir::cleanPath(path));
    if (const int r = avformat_alloc_output_context2(&m_formatContext, nullptr, nullptr, url.constData());
        r < 0 || !m_formatContext) {
        fail(QStringLiteral("Failed to create m_format_ctx"), r);
        return false;
    }
    m_stream = avformat_new_stream(m_formatContext, nullptr);
    if (!m_stream) {
        fail(QStringLiteral("Failed avformat_new_stream"));
        return false;
    }
    if (const int r = avcodec_parameters_from_context(m_stream->codecpar, m_codecContext); r < 0) {
        fail(QStringLiteral("Failed avcodec_parameters_from_context video_stream"), r);
        return false;
    }
    m_stream->time_base = m_codecContext->time_base;
    m_stream->avg_frame_rate = m_codecContext->framerate;
    if (const int r = avio_open(&m_formatContext->pb, url.constData(), AVIO_FLAG_WRITE); r < 0) {
        fail(QStringLiteral("Failed to open ") + path, r);
        return false;
    }
    // Unbuffered, flushed after each packet and interleaved at once: the file on disk grows as frames are encoded.
    m_formatContext->flags |= AVFMT_FLAG_NOBUFFER | AVFMT_FLAG_FLUSH_PACKETS;
    m_formatContext->max_interleave_delta = 1;
    return true;
}

bool EncoderCore::writeHeader()
{
    Dict options;
    av_dict_set(&options.d, "movflags", kMovFlags, 0);
    if (const int r = avformat_write_header(m_formatContext, &options.d); r < 0) {
        fail(QStringLiteral("Failed avformat_write_header"), r);
        return false;
    }
    return true;
}

bool EncoderCore::ringFull() const
{
    std::lock_guard<std::mutex> lock(m_ringLock);
    return m_ringCount == kRingSlots;
}

int EncoderCore::ringCount() const
{
    std::lock_guard<std::mutex> lock(m_ringLock);
    return m_ringCount;
}

bool EncoderCore::push(const uint8_t *rgb565, int stride, int64_t pts)
{
    if (!m_headerWritten)
        return false;
    AVFrame *slot = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_ringLock);
        if (m_ringCount == kRingSlots)
            return false;
        slot = m_ring[size_t((m_ringHead + m_ringCount) % kRingSlots)];
    }
    // The codec has let go of the slot by now, so this normally finds it writable and allocates nothing.
    if (av_frame_make_writable(slot) < 0)
        return false;
    const uint8_t *src[1] = {rgb565};
    const int srcStride[1] = {stride};
    sws_scale(m_scaler, src, srcStride, 0, kHeight, slot->data, slot->linesize);
    slot->pts = pts;
    std::lock_guard<std::mutex> lock(m_ringLock);
    ++m_ringCount;
    return true;
}

bool EncoderCore::encodeOne()
{
    if (m_failed)
        return false;
    if (!m_headerWritten)
        return true;
    if (!m_scaler || !m_codecContext || m_ring.empty()) {
        fail(QStringLiteral("Unexpected call, abort"));
        return false;
    }
    AVFrame *slot = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_ringLock);
        if (m_ringCount == 0)
            return true;
        slot = m_ring[size_t(m_ringHead)];
    }
    const bool ok = sendAndWrite(slot);
    std::lock_guard<std::mutex> lock(m_ringLock);
    m_ringHead = (m_ringHead + 1) % kRingSlots;
    --m_ringCount;
    return ok;
}

bool EncoderCore::sendAndWrite(AVFrame *frame)
{
    if (const int r = avcodec_send_frame(m_codecContext, frame); r < 0) {
        fail(QStringLiteral("Failed avcodec_send_frame."), r);
        return false;
    }
    if (frame)
        ++m_framesEncoded;
    for (;;) {
        const int r = avcodec_receive_packet(m_codecContext, m_packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return true;
        if (r < 0) {
            fail(QStringLiteral("Error during encoding."), r);
            return false;
        }
        m_bytesOut += uint64_t(m_packet->size);
        av_packet_rescale_ts(m_packet, m_codecContext->time_base, m_stream->time_base);
        m_packet->stream_index = m_stream->index;
        const int w = av_interleaved_write_frame(m_formatContext, m_packet);
        if (w < 0) {
            fail(QStringLiteral("Error during av_interleaved_write_frame."), w);
            return false;
        }
        ++m_packetsWritten;
    }
}

void EncoderCore::close()
{
    if (m_headerWritten) {
        // Everything accepted goes into the file: the pictures still in the ring, then whatever the codec holds
        // back for its look-ahead, and only then the trailer.
        bool ok = !m_failed;
        while (ok && ringCount() > 0)
            ok = encodeOne();
        if (ok)
            sendAndWrite(nullptr);
        m_headerWritten = false;
        qWarning().noquote() << "av_write_trailer";
        if (const int r = av_write_trailer(m_formatContext); r < 0)
            fail(QStringLiteral("Failed av_write_trailer"), r);
        // The last bytes reach the disk only as the file is closed; a full disk can show up only here.
        if (const int c = avio_closep(&m_formatContext->pb); c < 0)
            fail(QStringLiteral("Failed to close ") + m_path, c);
    }
    release();
}

void EncoderCore::release()
{
    m_headerWritten = false;
    for (AVFrame *&slot : m_ring)
        av_frame_free(&slot);
    m_ring.clear();
    m_ringHead = 0;
    m_ringCount = 0;
    sws_freeContext(m_scaler);
    m_scaler = nullptr;
    avcodec_free_context(&m_codecContext);
    av_packet_free(&m_packet);
    if (m_formatContext) {
        if (m_formatContext->pb && !(m_formatContext->oformat->flags & AVFMT_NOFILE))
            avio_closep(&m_formatContext->pb);
        avformat_free_context(m_formatContext);
        m_formatContext = nullptr;
    }
    m_stream = nullptr;
}
