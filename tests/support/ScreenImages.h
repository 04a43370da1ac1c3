#pragma once

#include "app/Frame.h"

#include <QByteArray>
#include <QDir>
#include <QImage>
#include <QRect>
#include <QString>

// Helpers of the tests that compare what the client shows with what the simulated unit drew.
namespace ScreenImages {

// One raw RGB565 screen picture as a 32-bit image.
inline QImage toImage(const QByteArray &rgb565)
{
    return QImage(reinterpret_cast<const uchar *>(rgb565.constData()), Frame_t::Width, Frame_t::Height, Frame_t::Stride,
                  QImage::Format_RGB16)
        .convertToFormat(QImage::Format_RGB32);
}

// Where a test leaves a picture for a person to look at: <build>/screenshots/<name>.png.
inline QString screenshotPath(const QString &name)
{
    const QString dir = qEnvironmentVariable("VQ6020_BINARY_DIR", QDir::tempPath()) + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + name + QStringLiteral(".png");
}

// Pixels of rect in a that differ from b.
inline int differing(const QImage &a, const QImage &b, const QRect &rect)
{
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y);
    return n;
}

} // namespace ScreenImages
