#pragma once

#include <QtGlobal>

// Monotonic milliseconds. Objects that measure time-outs and pacing read the time through this seam,
// so that a test can move time by hand and check a boundary exactly instead of betting on how late a
// loaded machine delivers a timer.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual qint64 nowMs() const = 0;

    // The system's monotonic clock; what every object uses unless its owner hands it another.
    static const Clock *steady();
};
