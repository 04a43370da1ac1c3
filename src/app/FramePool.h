#pragma once

#include "app/Frame.h"

#include <vector>

// A producer's fixed set of frames with a FIFO of the free ones. Used only from
// the owner's thread. Frames are never freed or resized while the pool lives.
class FramePool
{
public:
    FramePool(int count, uint16_t ownerTag);

    // Front of the free list, or nullptr when every frame is lent out.
    Frame_t *take();
    // Takes a frame back if it is non-null, carries this pool's tag and belongs
    // to this pool; anything else (including a frame already free) is ignored.
    bool giveBack(Frame_t *f);

    int size() const { return int(m_frames.size()); }
    int freeCount() const { return m_count; }
    uint16_t ownerTag() const { return m_tag; }

private:
    uint16_t m_tag;
    std::vector<std::unique_ptr<Frame_t>> m_frames;
    std::vector<Frame_t *> m_ring; // circular FIFO of free frames
    std::vector<bool> m_isFree;
    int m_head = 0;
    int m_count = 0;
};
