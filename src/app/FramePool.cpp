#include "app/FramePool.h"

std::atomic<uint32_t> g_framesLostNoBuffer{0};

FramePool::FramePool(int count, uint16_t ownerTag) : m_tag(ownerTag)
{
    m_frames.reserve(count);
    m_ring.resize(count, nullptr);
    m_isFree.resize(count, false);
    for (int i = 0; i < count; ++i) {
        m_frames.emplace_back(new Frame_t);
        m_frames.back()->ownerTag = ownerTag;
        giveBack(m_frames.back().get());
    }
}

Frame_t *FramePool::take()
{
    if (m_count == 0)
        return nullptr;
    Frame_t *f = m_ring[m_head];
    m_head = (m_head + 1) % int(m_ring.size());
    --m_count;
    for (size_t i = 0; i < m_frames.size(); ++i) {
        if (m_frames[i].get() == f) {
            m_isFree[i] = false;
            break;
        }
    }
    return f;
}

bool FramePool::giveBack(Frame_t *f)
{
    if (!f || f->ownerTag != m_tag)
        return false;
    for (size_t i = 0; i < m_frames.size(); ++i) {
        if (m_frames[i].get() != f)
            continue;
        // A frame handed back twice would sit in the FIFO twice and later be
        // filled while still on display; refuse the second return.
        if (m_isFree[i])
            return false;
        m_isFree[i] = true;
        m_ring[(m_head + m_count) % int(m_ring.size())] = f;
        ++m_count;
        return true;
    }
    return false;
}
