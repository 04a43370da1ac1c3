#include "stream/FrameDecompress.h"

#include "app/StatsClient.h"

#include <QDebug>

#include <zstd.h>

namespace {
// What the decoder asks for next when it stands between two blocks with nothing held back.
constexpr size_t kBlockHeaderBytes = 3;
} // namespace

FrameDecompress::FrameDecompress(QObject *parent)
    : QObject(parent), m_dctx(ZSTD_createDCtx()), m_pool(kPoolFrames, FrameOwner::Decompressor)
{
    // Set explicitly: the library's default limit (2^27 today) is not a promise.
    ZSTD_DCtx_setParameter(m_dctx, ZSTD_d_windowLogMax, kWindowLogMax);
    m_spare.ownerTag = FrameOwner::Decompressor;
}

FrameDecompress::~FrameDecompress()
{
    ZSTD_freeDCtx(m_dctx);
}

size_t FrameDecompress::contextBytes() const
{
    return ZSTD_sizeof_DCtx(m_dctx);
}

void FrameDecompress::buffDispose(Frame_t *f)
{
    m_pool.giveBack(f);
}

bool FrameDecompress::decode(const CompressedFrameData &f, Frame_t *target)
{
    ZSTD_outBuffer out{target->pixels.get(), size_t(Frame_t::Bytes), 0};
    size_t ret = 0;
    bool ok = false;
    // The length comes with the record; the array behind it holds no more than this.
    if (f.data.size <= sizeof(f.data.bytes)) {
        ZSTD_inBuffer in{f.data.bytes, f.data.size, 0};
        ret = ZSTD_decompressStream(m_dctx, &out, &in);
        ok = !ZSTD_isError(ret) && out.pos == out.size && in.pos == in.size;
        if (ok) {
            // Whatever a record holds beyond one frame stays inside the context and would become the start of the
            // next frame: decoded bytes waiting to be copied out, or the first bytes of another block. A clean record
            // leaves neither, and the context waits for a whole block header.
            uint8_t extra = 0;
            ZSTD_outBuffer probe{&extra, 1, 0};
            const size_t next = ZSTD_decompressStream(m_dctx, &probe, &in);
            ok = probe.pos == 0 && next == kBlockHeaderBytes;
        }
    }
    if (ok)
        return true;

    m_waitingForReset = true;
    emit needCtxReset();
    qWarning() << "Bad compression context or unexpected zstd behavior";
    qWarning() << "Decompress Out:" << ret << "Out Delta" << (out.size - out.pos) << ", out.pos" << out.pos
               << "out.size" << out.size;
    if (ZSTD_isError(ret))
        qWarning() << "zstd:" << ZSTD_getErrorName(ret);
    return false;
}

void FrameDecompress::newCFrame(const CompressedFrameData &f)
{
    const bool resetPoint = f.has_reset && f.reset;
    if (m_waitingForReset) {
        if (!resetPoint)
            return;
        m_waitingForReset = false;
    }

    Frame_t *frame = m_pool.take();
    if (!frame) {
        qWarning() << "Decompressor starved for Frame_t, dropping frame.";
        g_framesLostNoBuffer.fetch_add(1, std::memory_order_relaxed);
        // Decoded all the same, so that the context stays in step with the stream.
        frame = &m_spare;
    }

    if (resetPoint) {
        ZSTD_DCtx_reset(m_dctx, ZSTD_reset_session_only);
        qInfo() << "DCtx Reset";
    }

    const bool ok = decode(f, frame);
    frame->pts = f.stamp;
    frame->frameNumber = 0;
    frame->ownerTag = FrameOwner::Decompressor;

    if (frame == &m_spare)
        return;
    if (!ok) {
        // Part old picture, part garbage: keep showing the last good frame until the stream starts over.
        m_pool.giveBack(frame);
        return;
    }
    emit newFrame(frame);
    StatsClient::frameReceived();
}
