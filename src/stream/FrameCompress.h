#pragma once

#include "app/Frame.h"
#include "protocol/Messages.h"

#include <QMetaType>
#include <QObject>

#include <cstddef>
#include <memory>
#include <vector>

struct ZSTD_CCtx_s;

Q_DECLARE_METATYPE(CompressedFrameData *)

// Turns the relay's raw screen frames into one zstd stream that runs across frames, one CompressedFrameData record
// per frame. A receiver can start decoding only at a reset point (a record flagged reset, the first after the context
// was reset), so whoever serves a new receiver asks for one with resetContext(). Records come from a fixed pool and
// go back to it through cFrameDispose(). Lives in the GUI thread.
class FrameCompress : public QObject
{
    Q_OBJECT
public:
    static constexpr int kLevel = 7;
    // Long-distance matching would otherwise widen the window to 128 MiB: ~143 MB for the encoder and as much
    // again for every receiver. 8 MiB still spans some 30 screens.
    static constexpr int kWindowLog = 23;
    static constexpr int kPoolRecords = 20;
    static constexpr int kRecordBytes = 65520;
    static constexpr size_t kMaxData = sizeof(CompressedFrameData_data_t::bytes); // 65500

    explicit FrameCompress(QObject *parent = nullptr);
    ~FrameCompress() override;

    int freeRecords() const { return m_freeCount; }
    bool resetPending() const { return m_resetPending; }
    // What the compression context holds now (grows to its working size with the first frame).
    size_t contextBytes() const;

public slots:
    void newBuff(Frame_t *f);
    void cFrameDispose(CompressedFrameData *f);
    void resetContext();

signals:
    void buffDispose(Frame_t *f);
    void newCFrame(CompressedFrameData *f);

private:
    CompressedFrameData *takeRecord();
    int indexOf(const CompressedFrameData *f) const;

    ZSTD_CCtx_s *m_cctx = nullptr;
    bool m_resetPending = false;
    std::vector<std::unique_ptr<CompressedFrameData>> m_records;
    std::vector<CompressedFrameData *> m_ring; // FIFO of free records
    std::vector<bool> m_isFree;
    int m_head = 0;
    int m_freeCount = 0;
};
