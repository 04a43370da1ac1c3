#include "MpsseEngine.h"

#include <algorithm>
#include <cstddef>

namespace {

// Opcode bits of the data-shifting commands (opcode < 0x80).
enum : uint8_t {
    WriteNeg = 0x01,
    BitMode = 0x02,
    ReadNeg = 0x04,
    LsbFirst = 0x08,
    DoWrite = 0x10,
    DoRead = 0x20,
    DoTms = 0x40
};

bool validShift(uint8_t op)
{
    if (!(op & (DoWrite | DoRead | DoTms)))
        return false;
    // TMS is only ever shifted bitwise, least significant bit first, with TDI held from bit 7.
    if (op & DoTms)
        return (op & BitMode) && (op & LsbFirst) && !(op & DoWrite);
    return true;
}

} // namespace

MpsseEngine::MpsseEngine(JtagTarget *target, EmuClock &clock, uint16_t model)
    : m_target(target), m_clock(clock), m_model(model)
{
}

void MpsseEngine::reset()
{
    m_in.clear();
    m_out.clear();
    m_inShift = 0;
    m_divisor = 0xFFFF;
    m_divideBy5 = true;
    m_threePhase = m_adaptive = m_loopback = m_waitingForever = false;
}

void MpsseEngine::purgeCommands()
{
    m_in.clear();
    m_waitingForever = false;
}

double MpsseEngine::tckHz() const
{
    return (m_divideBy5 ? 12e6 : 60e6) / ((1.0 + m_divisor) * 2.0);
}

size_t MpsseEngine::read(uint8_t *data, size_t size)
{
    const size_t n = std::min(size, m_out.size());
    std::copy_n(m_out.begin(), n, data);
    m_out.erase(m_out.begin(), m_out.begin() + std::ptrdiff_t(n));
    return n;
}

// Bytes the command at p needs in all, or 0 while its header is incomplete.
size_t MpsseEngine::commandLength(const uint8_t *p, size_t have) const
{
    const uint8_t op = p[0];
    if (op < 0x80) {
        if (!validShift(op))
            return 1;
        if (op & BitMode)
            return (op & (DoTms | DoWrite)) ? 3 : 2;
        if (have < 3)
            return 0;
        return (op & DoWrite) ? 3 + (size_t(p[1] | p[2] << 8) + 1) : 3;
    }
    switch (op) {
    case 0x80:
    case 0x82:
    case 0x86:
    case 0x8F:
    case 0x9C:
    case 0x9D: return 3;
    case 0x8E: return 2;
    case 0x9E: return m_model == 0x6014 ? 3 : 1;
    default: return 1;
    }
}

void MpsseEngine::write(const uint8_t *data, size_t size)
{
    const uint8_t *p = data;
    size_t have = size;
    if (!m_in.empty()) {
        m_in.insert(m_in.end(), data, data + size);
        p = m_in.data();
        have = m_in.size();
    }
    size_t pos = 0;
    while (pos < have && !m_waitingForever) {
        const size_t length = commandLength(p + pos, have - pos);
        if (length == 0 || pos + length > have)
            break;
        run(p + pos);
        pos += length;
    }
    if (m_in.empty()) {
        m_in.assign(p + pos, p + have);
    } else {
        m_in.erase(m_in.begin(), m_in.begin() + std::ptrdiff_t(pos));
    }
}

bool MpsseEngine::clockOne(bool tms, bool tdi)
{
    ++m_cycles;
    const bool tdo = m_target ? m_target->clock(tms, tdi) : true;
    return m_loopback ? tdi : tdo;
}

void MpsseEngine::elapse(uint64_t cycles)
{
    if (!m_clock.isVirtual() || cycles == 0)
        return;
    const double periodPs = 1e12 / tckHz() * (m_threePhase ? 1.5 : 1.0);
    m_psCarry += int64_t(double(cycles) * periodPs);
    m_clock.elapse(m_psCarry / 1000);
    m_psCarry %= 1000;
}

void MpsseEngine::idle(uint64_t bits)
{
    for (uint64_t i = 0; i < bits; ++i)
        clockOne(tmsPin(), tdiPin());
}

void MpsseEngine::run(const uint8_t *p)
{
    ++m_commands;
    const uint64_t cyclesBefore = m_cycles;
    const uint8_t op = p[0];
    if (op < 0x80 && validShift(op)) {
        shiftData(p);
    } else {
        switch (op) {
        case 0x80:
            m_lowValue = p[1];
            m_lowDir = p[2];
            break;
        case 0x81: {
            const bool tdo = m_loopback ? tdiPin() : (m_target ? m_target->tdo() : true);
            const uint8_t inputs = uint8_t(0xFB | (tdo ? 0x04 : 0)); // unconnected inputs float high
            m_out.push_back(uint8_t((m_lowValue & m_lowDir) | (inputs & ~m_lowDir)));
            break;
        }
        case 0x82:
            m_highValue = p[1];
            m_highDir = p[2];
            break;
        case 0x83: m_out.push_back(uint8_t((m_highValue & m_highDir) | ~m_highDir)); break;
        case 0x84: m_loopback = true; break;
        case 0x85: m_loopback = false; break;
        case 0x86: m_divisor = uint16_t(p[1] | p[2] << 8); break;
        case 0x87: break; // send immediate: every answer is available at once anyway
        case 0x88: break; // GPIOL1 floats high: the wait is over at once
        case 0x89: m_waitingForever = true; break;
        case 0x8A: m_divideBy5 = false; break;
        case 0x8B: m_divideBy5 = true; break;
        case 0x8C: m_threePhase = true; break;
        case 0x8D: m_threePhase = false; break;
        case 0x8E: idle(uint64_t(p[1]) + 1); break;
        case 0x8F: idle((uint64_t(p[1] | p[2] << 8) + 1) * 8); break;
        case 0x94: break;
        case 0x95: m_waitingForever = true; break;
        case 0x96: m_adaptive = true; break;
        case 0x97: m_adaptive = false; break;
        case 0x9C: break;
        case 0x9D: idle((uint64_t(p[1] | p[2] << 8) + 1) * 8); break;
        case 0x9E:
            if (m_model == 0x6014)
                break; // open-drain outputs: no effect on what the target sees
            [[fallthrough]];
        default:
            m_out.push_back(0xFA);
            m_out.push_back(op);
            break;
        }
    }
    elapse(m_cycles - cyclesBefore);
}

void MpsseEngine::shiftData(const uint8_t *p)
{
    const uint8_t op = p[0];
    const bool lsb = op & LsbFirst, writes = op & DoWrite, reads = op & DoRead;
    // Only reading commands shift TDO into the input register.
    auto take = [&](bool tdo) {
        if (!reads)
            return;
        m_inShift = lsb ? uint8_t(m_inShift >> 1 | (tdo ? 0x80 : 0)) : uint8_t(m_inShift << 1 | (tdo ? 1 : 0));
    };
    if (op & DoTms) {
        const int bits = (p[1] & 7) + 1;
        const bool tdi = p[2] & 0x80;
        setPin(0x02, tdi);
        for (int i = 0; i < bits; ++i) {
            const bool tms = (p[2] >> i) & 1;
            take(clockOne(tms, tdi));
            setPin(0x08, tms);
        }
        if (reads)
            m_out.push_back(m_inShift);
        return;
    }
    if (op & BitMode) {
        const int bits = (p[1] & 7) + 1;
        for (int i = 0; i < bits; ++i) {
            bool tdi = tdiPin();
            if (writes) {
                tdi = (p[2] >> (lsb ? i : 7 - i)) & 1;
                setPin(0x02, tdi);
            }
            take(clockOne(tmsPin(), tdi));
        }
        if (reads)
            m_out.push_back(m_inShift);
        return;
    }
    const size_t bytes = size_t(p[1] | p[2] << 8) + 1;
    const uint8_t *data = p + 3;
    const bool fast = lsb && !tmsPin() && !m_loopback && m_target;
    for (size_t b = 0; b < bytes; ++b) {
        const uint8_t out = writes ? data[b] : (tdiPin() ? 0xFF : 0x00);
        if (fast) {
            const uint8_t in = m_target->clockByte(out);
            if (reads)
                m_inShift = in;
            m_cycles += 8;
        } else {
            for (int i = 0; i < 8; ++i)
                take(clockOne(tmsPin(), (out >> (lsb ? i : 7 - i)) & 1));
        }
        if (writes)
            setPin(0x02, (out >> (lsb ? 7 : 0)) & 1);
        if (reads)
            m_out.push_back(m_inShift);
    }
}
