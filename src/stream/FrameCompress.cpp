#include "stream/FrameCompress.h"

#include <QDebug>

#include <zstd.h>

static_assert(FrameCompress::kMaxData == 65500, "a record carries at most 65500 compressed bytes");
static_assert(sizeof(CompressedFrameData) <= size_t(FrameCompress::kRecordBytes), "a record fits its buffer");

FrameCompress::FrameCompress(QObject *parent) : QObject(parent), m_cctx(ZSTD_createCCtx())
{
    ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_compressionLevel, kLevel);
    ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_windowLog, kWindowLog);

    m_records.reserve(kPoolRecords);
    m_ring.resize(kPoolRecords, nullptr);
    m_isFree.resize(kPoolRecords, false);
    for (int i = 0; i < kPoolRecords; ++i) {
        m_records.emplace_back(new CompressedFrameData(CompressedFrameData_init_zero));
        cFrameDispose(m_records.back().get());
    }
}

FrameCompress::~FrameCompress()
{
    ZSTD_freeCCtx(m_cctx);
}

size_t FrameCompress::contextBytes() const
{
    return ZSTD_sizeof_CCtx(m_cctx);
}

int FrameCompress::indexOf(const CompressedFrameData *f) const
{
    for (size_t i = 0; i < m_records.size(); ++i)
        if (m_records[i].get() == f)
            return int(i);
    return -1;
}

CompressedFrameData *FrameCompress::takeRecord()
{
    if (m_freeCount == 0)
        return nullptr;
    CompressedFrameData *f = m_ring[m_head];
    m_head = (m_head + 1) % kPoolRecords;
    --m_freeCount;
    m_isFree[indexOf(f)] = false;
    return f;
}

void FrameCompress::cFrameDispose(CompressedFrameData *f)
{
    // Only records of this pool that are out on loan come back; a second return of the same record would hand it
    // out twice while a consumer still reads it.
    const int i = indexOf(f);
    if (i < 0 || m_isFree[i])
        return;
    m_isFree[i] = true;
    m_ring[(m_head + m_freeCount) % kPoolRecords] = f;
    ++m_freeCount;
}

void FrameCompress::resetContext()
{
    m_resetPending = true;
}

void FrameCompress::newBuff(Frame_t *f)
{
    if (!f)
        return;
    CompressedFrameData *out = takeRecord();
    if (!out) {
        qWarning() << "Frame compressor starved for buffs";
        emit buffDispose(f);
        return;
    }

    out->has_reset = m_resetPending;
    out->reset = m_resetPending;
    out->has_reserved2 = false;
    out->reserved2 = false;
    out->stamp = f->pts;
    if (m_resetPending) {
        qInfo() << "Resetting context";
        m_resetPending = false;
        ZSTD_CCtx_reset(m_cctx, ZSTD_reset_session_only);
    }

    ZSTD_inBuffer in{f->pixels.get(), size_t(Frame_t::Bytes), 0};
    ZSTD_outBuffer dst{out->data.bytes, kMaxData, 0};
    // Flush, not end: the frame's bytes are complete and decodable now, and the next frame still finds this one in
    // the window.
    const size_t remaining = ZSTD_compressStream2(m_cctx, &dst, &in, ZSTD_e_flush);
    emit buffDispose(f);

    if (ZSTD_isError(remaining) || remaining != 0 || in.pos != in.size) {
        cFrameDispose(out);
        if (ZSTD_isError(remaining))
            qWarning() << "Frame compression failed:" << ZSTD_getErrorName(remaining);
        else
            qWarning() << "Frame failed to compress to less than 65500 bytes! Uh oh! Remaining:" << remaining;
        // The context still holds the part of this frame that did not fit; whatever followed it would start with
        // that leftover and every receiver would decode damage. Start the stream over at the next frame.
        ZSTD_CCtx_reset(m_cctx, ZSTD_reset_session_only);
        m_resetPending = true;
        return;
    }

    out->data.size = pb_size_t(dst.pos);
    emit newCFrame(out);
}
