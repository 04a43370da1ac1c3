#pragma once

#include "app/Clock.h"

// A clock that moves only when the test says so.
class ManualClock : public Clock
{
public:
    qint64 nowMs() const override { return m_now; }
    void advance(qint64 ms) { m_now += ms; }

private:
    // Far from zero, so that "never" (0 or -1 in the code under test) is never mistaken for a time.
    qint64 m_now = 1'000'000;
};
