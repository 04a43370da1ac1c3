#pragma once

#include "RadioState.h"

#include <QByteArray>
#include <QImage>
#include <QRect>

#include <cstdint>

// Draws the simulated radio's 480 x 272 screen: frequency digits, mode and meter
// labels, level bars, key indicators, a spectrum trace and a waterfall that
// scrolls by one row per frame. The picture depends only on the radio state and
// the frame number. Image and pixel buffer are allocated once and reused.
class ScreenRenderer
{
public:
    static constexpr int Width = 480;
    static constexpr int Height = 272;
    static constexpr int LineBytes = Width * 2;
    static constexpr int FrameBytes = LineBytes * Height;

    ScreenRenderer();

    // Draws the frame and returns its pixels: RGB565, each pixel a little-endian
    // 16-bit value, 960 bytes per line, top line first. Valid until the next call.
    const QByteArray &render(const RadioState &state, uint16_t frameNumber);
    const QImage &image() const { return m_image; }

    // Screen areas, so tests can look at the part an input should change.
    static QRect frequencyRect();
    static QRect modeRect();
    static QRect volumeBarRect();
    static QRect rfSqlBarRect();
    static QRect dialReadoutRect();
    static QRect spectrumRect();
    static QRect waterfallRect();
    // The indicator cell of a front-panel key, or an empty rectangle.
    static QRect indicatorRect(uint16_t code);

private:
    void drawHeader(QPainter &p, const RadioState &s);
    void drawFrequency(QPainter &p, const RadioState &s);
    void drawMeters(QPainter &p, const RadioState &s, uint16_t frame);
    void drawSpectrum(QPainter &p, const RadioState &s, uint16_t frame);
    void drawWaterfall(const RadioState &s, uint16_t frame);
    void drawIndicators(QPainter &p, const RadioState &s);
    void drawTouch(QPainter &p, const RadioState &s);
    void computeSpectrumLine(const RadioState &s, uint32_t frame, uint8_t *levels) const;
    void toRgb565();

    QImage m_image;
    QByteArray m_pixels;
    uint8_t m_levels[Width];
};

// Convenience for tests: the pixels of one frame, computed from scratch.
QByteArray renderFrame(const RadioState &state, uint16_t frameNumber);
