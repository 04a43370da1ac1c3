#pragma once

#include <QMetaType>

#include <atomic>
#include <cstdint>
#include <memory>

// One picture of the radio's 480 x 272 RGB565 screen. Frames are allocated once,
// by the pool of their producer, and lent along the frame chain by pointer.
struct Frame_t {
    static constexpr int Width = 480;
    static constexpr int Height = 272;
    static constexpr int BytesPerPixel = 2;
    static constexpr int Stride = Width * BytesPerPixel;
    static constexpr int Bytes = Stride * Height;

    int64_t pts = 0;
    uint16_t frameNumber = 0;
    uint16_t ownerTag = 0;
    std::unique_ptr<uint8_t[]> pixels;

    Frame_t() : pixels(new uint8_t[Bytes]()) {}
};

Q_DECLARE_METATYPE(Frame_t *)

namespace FrameOwner {
inline constexpr uint16_t VideoWorker = 0xF1A2;
inline constexpr uint16_t Decompressor = 0xDEDE;
} // namespace FrameOwner

// Frames dropped process-wide because their producer had no free buffer.
extern std::atomic<uint32_t> g_framesLostNoBuffer;
