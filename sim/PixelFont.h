#pragma once

#include <QColor>
#include <QString>

class QPainter;

// A fixed 5 x 7 dot font for the simulated screen's labels. The unit's picture
// must not depend on which fonts a machine has installed: a test computes the
// same frame on another host and compares it pixel for pixel.
namespace PixelFont {
inline constexpr int GlyphWidth = 5;
inline constexpr int GlyphHeight = 7;
inline constexpr int Advance = 6;

// Draws text with its top-left corner at (x, y), each dot scale x scale pixels.
// Characters without a glyph leave a blank cell.
void draw(QPainter &p, int x, int y, const QString &text, const QColor &color, int scale = 1);
int width(const QString &text, int scale = 1);
} // namespace PixelFont
