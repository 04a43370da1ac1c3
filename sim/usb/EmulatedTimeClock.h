#pragma once

#include "EmuClock.h"
#include "app/Clock.h"

#include <memory>

// The application's Clock seam reading the emulated unit's time, so that a client's
// time-outs (a flash that stays busy, a bridge that sends nothing) run in the same
// virtual time as the unit: a test of a one-second time-out takes milliseconds.
class EmulatedTimeClock : public Clock
{
public:
    explicit EmulatedTimeClock(std::shared_ptr<EmuClock> clock) : m_clock(std::move(clock)) {}
    qint64 nowMs() const override { return m_offsetMs + m_clock->nowNs() / 1'000'000; }

private:
    std::shared_ptr<EmuClock> m_clock;
    // Far from zero, as ManualClock, so that "never" is never mistaken for a time.
    qint64 m_offsetMs = 1'000'000;
};
