#pragma once

#include "EmuClock.h"
#include "Ecp5Tap.h"

#include <cstdint>
#include <deque>
#include <vector>

// The MPSSE of one FTDI high-speed channel: takes the command bytes the host writes
// (a command may arrive split over any number of writes; it runs once complete),
// clocks the JTAG target and queues the bytes the chip sends back. Like the chip it
// answers a byte it does not know as a command with 0xFA followed by that byte.
//
// Bit reads come from the chip's input shift register, which is not cleared between
// commands: a read of n bits shifts n TDO samples in (from the top for least
// significant bit first, from the bottom otherwise) and returns the whole register.
// A one-bit read therefore carries its TDO in bit 7, and the eighth of eight one-bit
// reads carries all eight bits in order.
class MpsseEngine
{
public:
    // model: 0x6010 (two-channel) or 0x6014 (single channel, which also knows 0x9E).
    MpsseEngine(JtagTarget *target, EmuClock &clock, uint16_t model);

    void write(const uint8_t *data, size_t size);
    size_t available() const { return m_out.size(); }
    size_t read(uint8_t *data, size_t size);
    void purgeReceived() { m_out.clear(); }
    void purgeCommands();
    // Leaving MPSSE mode drops what is half-parsed and resets the engine's settings.
    void reset();

    uint64_t tckCycles() const { return m_cycles; }
    uint64_t commands() const { return m_commands; }
    double tckHz() const;
    bool loopback() const { return m_loopback; }
    uint8_t lowValue() const { return m_lowValue; }
    uint8_t lowDirection() const { return m_lowDir; }

private:
    size_t commandLength(const uint8_t *p, size_t have) const;
    void run(const uint8_t *p);
    void shiftData(const uint8_t *p);
    bool clockOne(bool tms, bool tdi);
    void idle(uint64_t bits);
    void elapse(uint64_t cycles);
    bool tmsPin() const { return m_lowValue & 0x08; }
    bool tdiPin() const { return m_lowValue & 0x02; }
    void setPin(uint8_t mask, bool on) { m_lowValue = on ? (m_lowValue | mask) : (m_lowValue & ~mask); }

    JtagTarget *m_target;
    EmuClock &m_clock;
    uint16_t m_model;
    std::vector<uint8_t> m_in; // bytes of a command not yet complete
    std::deque<uint8_t> m_out;
    uint8_t m_inShift = 0; // the chip's input shift register
    uint8_t m_lowValue = 0, m_lowDir = 0, m_highValue = 0, m_highDir = 0;
    uint16_t m_divisor = 0xFFFF;
    bool m_divideBy5 = true;
    bool m_threePhase = false;
    bool m_adaptive = false;
    bool m_loopback = false;
    bool m_waitingForever = false; // waiting on a GPIO level that never comes
    uint64_t m_cycles = 0;
    uint64_t m_commands = 0;
    int64_t m_psCarry = 0;
};
