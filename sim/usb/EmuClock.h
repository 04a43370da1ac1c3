#pragma once

#include <cstdint>

// Time as the emulated hardware sees it, in nanoseconds. The flash's busy times and
// the bridge's empty-read delay are measured on it. A virtual clock moves only by the
// hardware's own activity (TCK cycles) and by the host's pauses, so a whole update
// runs in milliseconds of real time and still sees every busy poll it would see on
// a real unit; the steady clock makes the same busy times cost real time.
class EmuClock
{
public:
    virtual ~EmuClock() = default;
    virtual int64_t nowNs() const = 0;
    // The hardware spent this long (clocking, or the host waiting on it).
    virtual void elapse(int64_t ns) = 0;
    // The host pauses; a virtual clock jumps, the steady clock sleeps.
    virtual void pause(int64_t ns) = 0;
    virtual bool isVirtual() const = 0;
};

class VirtualEmuClock : public EmuClock
{
public:
    int64_t nowNs() const override { return m_now; }
    void elapse(int64_t ns) override { m_now += ns; }
    void pause(int64_t ns) override { m_now += ns; }
    bool isVirtual() const override { return true; }

private:
    int64_t m_now = 0;
};

class SteadyEmuClock : public EmuClock
{
public:
    int64_t nowNs() const override;
    void elapse(int64_t) override {}
    void pause(int64_t ns) override;
    bool isVirtual() const override { return false; }
};
