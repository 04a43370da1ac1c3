#pragma once

#include "stream/FrameCompress.h"
#include "stream/FrameDecompress.h"

#include <QByteArray>
#include <QObject>
#include <QVector>

#include <cstring>
#include <functional>
#include <memory>

// A compressor wired to a decompressor as a relay and its client would be, with the records in between open to
// inspection and damage. Every decoded frame is compared with the raw frame it was made from on arrival.
class CodecLoop : public QObject
{
public:
    static constexpr int64_t kPtsBase = 1000003;

    FrameCompress comp;
    FrameDecompress decomp;
    Frame_t src;

    int joinAt = 0;           // records of earlier frames never reach the decompressor
    bool holdRecords = false; // the relay side keeps its records instead of returning them
    bool holdFrames = false;  // the frame chain keeps the decoded frames
    // May change the record on its way (a copy; the compressor's own record is not touched).
    std::function<void(int frame, CompressedFrameData &)> tamper;

    int sent = 0;
    int rawReturned = 0;
    int needResets = 0;
    QVector<int> records;     // frame index of each record
    QVector<int> resetPoints; // frame index of each record flagged as a reset point
    QVector<int> sizes;       // data bytes of each record
    QVector<int> decoded;     // frame index of each decoded frame that equals its raw frame
    QVector<int> unequal;     // frame index of each decoded frame that does not
    QVector<CompressedFrameData *> heldRecords;
    QVector<Frame_t *> heldFrames;

    static int64_t ptsOf(int frame) { return kPtsBase + 7 * int64_t(frame); }

    CodecLoop()
    {
        connect(&comp, &FrameCompress::buffDispose, this, [this](Frame_t *f) { rawReturned += f == &src; });
        connect(&comp, &FrameCompress::newCFrame, this, &CodecLoop::onRecord);
        connect(&decomp, &FrameDecompress::needCtxReset, this, [this] { ++needResets; });
        connect(&decomp, &FrameDecompress::newFrame, this, [this](Frame_t *f) {
            const bool same = f->pts == src.pts && f->frameNumber == 0 && f->ownerTag == FrameOwner::Decompressor &&
                              std::memcmp(f->pixels.get(), src.pixels.get(), Frame_t::Bytes) == 0;
            (same ? decoded : unequal) << sent;
            if (holdFrames)
                heldFrames << f;
            else
                decomp.buffDispose(f);
        });
    }

    void push(const QByteArray &pixels)
    {
        std::memcpy(src.pixels.get(), pixels.constData(), size_t(Frame_t::Bytes));
        src.pts = ptsOf(sent);
        comp.newBuff(&src);
        ++sent;
    }

private:
    void onRecord(CompressedFrameData *r)
    {
        records << sent;
        sizes << int(r->data.size);
        if (r->has_reset && r->reset)
            resetPoints << sent;
        if (sent >= joinAt) {
            if (tamper) {
                auto copy = std::make_unique<CompressedFrameData>(*r);
                tamper(sent, *copy);
                decomp.newCFrame(*copy);
            } else {
                decomp.newCFrame(*r);
            }
        }
        if (holdRecords)
            heldRecords << r;
        else
            comp.cFrameDispose(r);
    }
};
