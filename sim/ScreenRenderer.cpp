#include "ScreenRenderer.h"

#include "PixelFont.h"

#include <QPainter>

namespace {

const QColor kBackground(8, 12, 28);
const QColor kLabel(200, 200, 210);
const QColor kDigit(250, 250, 250);
const QColor kBarOn(80, 220, 120);
const QColor kBarOff(40, 48, 64);
const QColor kLatched(255, 176, 32);
const QColor kCellOff(36, 40, 52);
const QColor kHeld(255, 255, 255);
const QColor kTouch(255, 0, 255);
const QColor kPassBand(40, 60, 110);
const QColor kTrace(230, 230, 120);
const QColor kCenter(255, 60, 60);

constexpr int kDigitW = 26;
constexpr int kDigitH = 48;
constexpr int kSeg = 5;
constexpr int kHzPerPixel = 100;
constexpr int kIndicatorCols = 13;
constexpr int kIndicatorW = 36;
constexpr int kIndicatorH = 12;

// A small integer hash: the picture's "noise" must be reproducible.
uint32_t mix(uint32_t a, uint32_t b)
{
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u + (a << 6) + (a >> 2));
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

// Seven-segment digit with its top-left corner at (x, y); segments a..g.
void drawDigit(QPainter &p, int x, int y, int digit, const QColor &c)
{
    static const uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
    const uint8_t s = kSegments[digit % 10];
    const int half = kDigitH / 2;
    if (s & 0x01)
        p.fillRect(x + kSeg, y, kDigitW - 2 * kSeg, kSeg, c);
    if (s & 0x02)
        p.fillRect(x + kDigitW - kSeg, y + kSeg, kSeg, half - kSeg, c);
    if (s & 0x04)
        p.fillRect(x + kDigitW - kSeg, y + half, kSeg, half - kSeg, c);
    if (s & 0x08)
        p.fillRect(x + kSeg, y + kDigitH - kSeg, kDigitW - 2 * kSeg, kSeg, c);
    if (s & 0x10)
        p.fillRect(x, y + half, kSeg, half - kSeg, c);
    if (s & 0x20)
        p.fillRect(x, y + kSeg, kSeg, half - kSeg, c);
    if (s & 0x40)
        p.fillRect(x + kSeg, y + half - kSeg / 2, kDigitW - 2 * kSeg, kSeg, c);
}

QRgb waterfallColour(int level)
{
    // dark blue -> cyan -> yellow -> red over levels 0..63
    const int v = qBound(0, level, 63) * 4;
    if (v < 86)
        return qRgb(0, v, 60 + v * 2);
    if (v < 170)
        return qRgb((v - 86) * 3, 172 + (v - 86) / 2, 232 - (v - 86) * 2);
    return qRgb(255, qMax(0, 214 - (v - 170) * 2), 0);
}

void drawBar(QPainter &p, const QRect &r, int filled)
{
    p.fillRect(r, kBarOff);
    p.fillRect(r.x(), r.y(), qBound(0, filled, r.width()), r.height(), kBarOn);
}

} // namespace

ScreenRenderer::ScreenRenderer() : m_image(Width, Height, QImage::Format_RGB32), m_pixels(FrameBytes, '\0') {}

QRect ScreenRenderer::frequencyRect()
{
    return QRect(100, 20, 270, kDigitH + 4);
}
QRect ScreenRenderer::modeRect()
{
    return QRect(4, 3, 60, 14);
}
QRect ScreenRenderer::volumeBarRect()
{
    return QRect(340, 78, 128, 8);
}
QRect ScreenRenderer::rfSqlBarRect()
{
    return QRect(340, 91, 128, 8);
}
QRect ScreenRenderer::dialReadoutRect()
{
    return QRect(4, 104, 472, 9);
}
QRect ScreenRenderer::spectrumRect()
{
    return QRect(0, 116, Width, 64);
}
QRect ScreenRenderer::waterfallRect()
{
    return QRect(0, 180, Width, 64);
}

QRect ScreenRenderer::indicatorRect(uint16_t code)
{
    const QList<PanelKey> &keys = panelKeys();
    for (int i = 0; i < keys.size(); ++i)
        if (keys.at(i).code == code)
            return QRect(6 + (i % kIndicatorCols) * kIndicatorW, 246 + (i / kIndicatorCols) * (kIndicatorH + 1),
                         kIndicatorW - 1, kIndicatorH);
    return QRect();
}

const QByteArray &ScreenRenderer::render(const RadioState &state, uint16_t frameNumber)
{
    m_image.fill(state.powered ? kBackground : Qt::black);
    if (state.powered) {
        {
            QPainter p(&m_image);
            drawHeader(p, state);
            drawFrequency(p, state);
            drawMeters(p, state, frameNumber);
            drawSpectrum(p, state, frameNumber);
            drawIndicators(p, state);
        }
        drawWaterfall(state, frameNumber);
        QPainter p(&m_image);
        drawTouch(p, state);
    }
    toRgb565();
    return m_pixels;
}

void ScreenRenderer::drawHeader(QPainter &p, const RadioState &s)
{
    PixelFont::draw(p, modeRect().x(), modeRect().y(), s.modeName(), kLatched, 2);
    if (s.preamp > 0)
        PixelFont::draw(p, 70, 6, QStringLiteral("P.AMP%1").arg(s.preamp), kLabel);
    PixelFont::draw(p, 400, 6, QStringLiteral("VFO A"), kLabel);
}

void ScreenRenderer::drawFrequency(QPainter &p, const RadioState &s)
{
    // Shown as MM.kkk.hhh; the leading MHz zero is blank like on the radio.
    const uint64_t hz = s.frequencyHz % 100000000ULL;
    const QString digits = QStringLiteral("%1").arg(hz, 8, 10, QLatin1Char('0'));
    int x = frequencyRect().x();
    const int y = frequencyRect().y() + 2;
    for (int i = 0; i < digits.size(); ++i) {
        if (!(i == 0 && digits.at(0) == QLatin1Char('0')))
            drawDigit(p, x, y, digits.at(i).digitValue(), kDigit);
        x += kDigitW + 4;
        if (i == 1 || i == 4) {
            p.fillRect(x, y + kDigitH - kSeg, kSeg, kSeg, kDigit);
            x += kSeg + 5;
        }
    }
}

void ScreenRenderer::drawMeters(QPainter &p, const RadioState &s, uint16_t frame)
{
    PixelFont::draw(p, 4, 78, QStringLiteral("S"), kLabel);
    const QRect sMeter(16, 78, 200, 8);
    // The needle breathes with the band: the level of the signal under the carrier.
    drawBar(p, sMeter, 40 + int(mix(frame / 4, uint32_t(s.frequencyHz / 1000)) % 120));
    PixelFont::draw(p, 300, 78, QStringLiteral("VOL"), kLabel);
    drawBar(p, volumeBarRect(), s.volume / 2);
    PixelFont::draw(p, 300, 91, QStringLiteral("RF/SQ"), kLabel);
    drawBar(p, rfSqlBarRect(), s.rfSql / 2);
    PixelFont::draw(p, 4, 91, QStringLiteral("PO"), kLabel);
    drawBar(p, QRect(24, 91, 192, 8), s.isLatched(0x0D01) ? 150 : 0);
    const QRect r = dialReadoutRect();
    PixelFont::draw(p, r.x(), r.y(),
                    QStringLiteral("MULTI %1  BPF IN %2  OUT %3")
                        .arg(s.multiDial, 0, 10)
                        .arg(s.bpfInner, 0, 10)
                        .arg(s.bpfOuter, 0, 10),
                    kLabel);
}

void ScreenRenderer::computeSpectrumLine(const RadioState &s, uint32_t frame, uint8_t *levels) const
{
    for (int x = 0; x < Width; ++x)
        levels[x] = uint8_t(4 + (mix(uint32_t(x), frame) & 7));
    // Stations sit on a fixed 1.7 kHz raster of the band, so tuning moves them.
    const int64_t low = int64_t(s.frequencyHz) - (Width / 2) * kHzPerPixel;
    const int64_t first = low / 1700 - 1;
    const int64_t last = (low + Width * kHzPerPixel) / 1700 + 1;
    for (int64_t k = first; k <= last; ++k) {
        const uint32_t h = mix(uint32_t(k), 0xA5A5u);
        if (h % 4 != 0)
            continue;
        const int peak = int((20 + (h >> 8) % 36) * (4 + (frame / 6 + uint32_t(k)) % 4) / 7);
        const int centre = int((k * 1700 - low) / kHzPerPixel);
        const int reach = peak / 6;
        for (int dx = -reach; dx <= reach; ++dx) {
            const int x = centre + dx;
            if (x < 0 || x >= Width)
                continue;
            const int v = levels[x] + peak - 6 * qAbs(dx);
            levels[x] = uint8_t(qMin(63, qMax(int(levels[x]), v)));
        }
    }
}

void ScreenRenderer::drawSpectrum(QPainter &p, const RadioState &s, uint16_t frame)
{
    const QRect r = spectrumRect();
    const int width = qBound(4, 30 + s.bpfOuter, 240);
    const int shift = qBound(-100, s.bpfInner, 100);
    p.fillRect(Width / 2 + shift - width / 2, r.y(), width, r.height(), kPassBand);
    computeSpectrumLine(s, frame, m_levels);
    for (int x = 0; x < Width; ++x) {
        const int top = r.bottom() - m_levels[x];
        p.fillRect(x, top, 1, 2, kTrace);
    }
    p.fillRect(Width / 2, r.y(), 1, r.height(), kCenter);
}

void ScreenRenderer::drawWaterfall(const RadioState &s, uint16_t frame)
{
    // Row 0 is the newest line; row r shows the spectrum of frame - r, so the
    // picture scrolls down by one row every frame.
    const QRect r = waterfallRect();
    uint8_t levels[Width];
    for (int row = 0; row < r.height(); ++row) {
        computeSpectrumLine(s, uint16_t(frame - row), levels);
        auto *line = reinterpret_cast<QRgb *>(m_image.scanLine(r.y() + row));
        for (int x = 0; x < Width; ++x)
            line[x] = waterfallColour(levels[x]);
    }
}

void ScreenRenderer::drawIndicators(QPainter &p, const RadioState &s)
{
    for (const PanelKey &k : panelKeys()) {
        const QRect cell = indicatorRect(k.code);
        const bool on = s.isLatched(k.code) || (k.code == 0x0E01 && s.preamp > 0);
        p.fillRect(cell, on ? kLatched : kCellOff);
        if (s.heldKey == k.code) {
            p.fillRect(cell.x(), cell.y(), cell.width(), 1, kHeld);
            p.fillRect(cell.x(), cell.bottom(), cell.width(), 1, kHeld);
        }
        const QString label = QString::fromLatin1(k.label);
        const int tx = cell.x() + (cell.width() - PixelFont::width(label)) / 2;
        PixelFont::draw(p, tx, cell.y() + 3, label, on ? kBackground : kLabel);
    }
}

void ScreenRenderer::drawTouch(QPainter &p, const RadioState &s)
{
    if (!s.touching)
        return;
    const int x = s.touch.x();
    const int y = s.touch.y();
    p.fillRect(x - 10, y, 21, 1, kTouch);
    p.fillRect(x, y - 10, 1, 21, kTouch);
    p.fillRect(x - 3, y - 3, 7, 1, kTouch);
    p.fillRect(x - 3, y + 3, 7, 1, kTouch);
    p.fillRect(x - 3, y - 3, 1, 7, kTouch);
    p.fillRect(x + 3, y - 3, 1, 7, kTouch);
}

void ScreenRenderer::toRgb565()
{
    auto *out = reinterpret_cast<uint8_t *>(m_pixels.data());
    for (int y = 0; y < Height; ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(m_image.constScanLine(y));
        for (int x = 0; x < Width; ++x) {
            const QRgb c = in[x];
            const uint16_t v = uint16_t((qRed(c) >> 3) << 11 | (qGreen(c) >> 2) << 5 | (qBlue(c) >> 3));
            *out++ = uint8_t(v & 0xFF);
            *out++ = uint8_t(v >> 8);
        }
    }
}

QByteArray renderFrame(const RadioState &state, uint16_t frameNumber)
{
    ScreenRenderer r;
    QByteArray copy = r.render(state, frameNumber);
    copy.detach();
    return copy;
}
