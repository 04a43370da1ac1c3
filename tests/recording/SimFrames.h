#pragma once

// Pictures the simulated unit draws, as the recorder gets them.
#include "RadioState.h"
#include "ScreenRenderer.h"
#include "app/Frame.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace SimFrames {

// Frames 0..count-1 of the simulated radio's screen, one after the other, raw RGB565LE.
inline QByteArray render(int count)
{
    ScreenRenderer renderer;
    RadioState state;
    QByteArray all;
    all.reserve(count * Frame_t::Bytes);
    for (int i = 0; i < count; ++i)
        all += renderer.render(state, uint16_t(i));
    return all;
}

inline bool write(const QString &path, const QByteArray &raw)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(raw) == raw.size();
}

} // namespace SimFrames
