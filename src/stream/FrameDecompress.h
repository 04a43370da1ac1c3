#pragma once

#include "app/FramePool.h"
#include "protocol/Messages.h"

#include <QObject>

#include <cstddef>

struct ZSTD_DCtx_s;

// Turns the compressed records a relay sends back into raw frames of its own 20-frame pool (tag 0xDEDE), which then
// travel the frame chain like the video worker's. It decodes nothing until a reset point, and after anything that
// does not decode to exactly one frame it asks for a new one (needCtxReset) and waits again. Lives in the GUI thread
// and is called directly by the controller.
class FrameDecompress : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPoolFrames = 20;
    // Accepts any window a sender may announce (long-distance matching's default of 128 MiB included) and refuses
    // larger ones before allocating; the context is reused across resets, so its size stays bounded by this.
    static constexpr int kWindowLogMax = 27;

    explicit FrameDecompress(QObject *parent = nullptr);
    ~FrameDecompress() override;

    bool waitingForReset() const { return m_waitingForReset; }
    int freeFrames() const { return m_pool.freeCount(); }
    // What the decompression context holds now.
    size_t contextBytes() const;

public slots:
    // The record is only read during the call.
    void newCFrame(const CompressedFrameData &f);
    void buffDispose(Frame_t *f);

signals:
    void newFrame(Frame_t *f);
    void needCtxReset();

private:
    // Decodes one record into target; true when it gave exactly one frame and left nothing over.
    bool decode(const CompressedFrameData &f, Frame_t *target);

    ZSTD_DCtx_s *m_dctx = nullptr;
    FramePool m_pool;
    Frame_t m_spare;
    bool m_waitingForReset = true;
};
