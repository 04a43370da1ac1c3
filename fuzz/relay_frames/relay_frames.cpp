// Records from a relay (possibly hostile) into the client's FrameDecompress, with a frame chain that holds on to
// frames when the input says so.
//
// Input layout, repeated: one flag byte (bit 0: reset present, bit 1: reset value, bit 2: the chain keeps the
// decoded frame, bit 3: the chain first returns every frame it keeps), a 16-bit little-endian length (larger than
// a record can hold on purpose: the in-memory record may claim anything), then the data bytes (as many as remain).
#include "FuzzSupport.h"
#include "stream/FrameDecompress.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using fuzz::check;

struct Chain {
    FrameDecompress decomp;
    std::unique_ptr<CompressedFrameData> record{new CompressedFrameData(CompressedFrameData_init_zero)};
    std::vector<Frame_t *> held;
    bool keep = false;
    int frames = 0;
    int resets = 0;

    Chain()
    {
        QObject::connect(&decomp, &FrameDecompress::newFrame, [this](Frame_t *f) {
            check(f->ownerTag == FrameOwner::Decompressor && f->frameNumber == 0 && f->pts == record->stamp);
            for (Frame_t *h : held)
                check(h != f); // a frame lent out twice would be overwritten while shown
            ++frames;
            if (keep)
                held.push_back(f);
            else
                decomp.buffDispose(f);
        });
        QObject::connect(&decomp, &FrameDecompress::needCtxReset, [this] {
            check(decomp.waitingForReset());
            ++resets;
        });
    }

    void returnAll()
    {
        for (Frame_t *f : held)
            decomp.buffDispose(f);
        held.clear();
    }

    // An empty reset point never decodes to a frame: the decompressor is left waiting for a reset point, as a fresh
    // one is, while its context (and the window it may have grown) is reused as in a long-lived client.
    void startOver()
    {
        returnAll();
        *record = CompressedFrameData(CompressedFrameData_init_zero);
        record->has_reset = record->reset = true;
        decomp.newCFrame(*record);
        check(decomp.waitingForReset() && decomp.freeFrames() == FrameDecompress::kPoolFrames);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    (void)fuzz::kQuiet;
    static Chain chain;
    chain.startOver();

    size_t pos = 0;
    int64_t stamp = 0;
    while (pos + 3 <= size) {
        const uint8_t flags = data[pos];
        const size_t claimed = size_t(data[pos + 1]) | size_t(data[pos + 2]) << 8;
        pos += 3;
        const size_t available = std::min(claimed, std::min(size - pos, sizeof(chain.record->data.bytes)));
        CompressedFrameData &r = *chain.record;
        r.stamp = ++stamp;
        r.has_reset = flags & 1;
        r.reset = flags & 2;
        r.data.size = pb_size_t(claimed);
        std::memcpy(r.data.bytes, data + pos, available);
        pos += available;

        if (flags & 8)
            chain.returnAll();
        chain.keep = flags & 4;
        const bool wasWaiting = chain.decomp.waitingForReset();
        const int framesBefore = chain.frames;
        chain.decomp.newCFrame(r);
        // Nothing is shown between a lost stream and the next reset point.
        if (wasWaiting && !(r.has_reset && r.reset))
            check(chain.frames == framesBefore && chain.decomp.waitingForReset());
    }
    return 0;
}
