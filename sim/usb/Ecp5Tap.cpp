#include "Ecp5Tap.h"

namespace {

// IEEE 1149.1 next state: [state][tms].
constexpr uint8_t Next[16][2] = {
    {1, 0}, {1, 2},  {3, 9},   {4, 5},   {4, 5},   {6, 8},   {6, 7},   {4, 8},
    {1, 2}, {10, 0}, {11, 12}, {11, 12}, {13, 15}, {13, 14}, {11, 15}, {1, 2},
};

// An ECP5 bitstream starts, after an optional comment, with this preamble; a refresh
// that does not find it within the first sector leaves the FPGA without a design.
bool holdsBitstream(const std::vector<uint8_t> &flash)
{
    const uint8_t preamble[4] = {0xFF, 0xFF, 0xBD, 0xB3};
    for (size_t i = 0; i + 4 <= 4096 && i + 4 <= flash.size(); ++i)
        if (flash[i] == preamble[0] && flash[i + 1] == preamble[1] && flash[i + 2] == preamble[2] &&
            flash[i + 3] == preamble[3])
            return true;
    return false;
}

} // namespace

uint8_t JtagTarget::clockByte(uint8_t tdi)
{
    uint8_t out = 0;
    for (int i = 0; i < 8; ++i)
        out |= uint8_t(clock(false, (tdi >> i) & 1) ? 1 : 0) << i;
    return out;
}

Ecp5Tap::Ecp5Tap(SpiNorFlash &flash, uint32_t idCode) : m_flash(flash), m_idCode(idCode)
{
    captureDr();
}

uint32_t Ecp5Tap::status() const
{
    return (m_configured ? uint32_t(StatusDone) : 0u) | (m_iscEnabled ? uint32_t(StatusIscEnabled) : 0u);
}

bool Ecp5Tap::tdo() const
{
    if (m_state == ShiftIr)
        return m_irShift & 1;
    if (m_state == ShiftDr)
        return m_bspi == BspiActive ? true : (m_dr & 1);
    return true; // TDO is not driven outside the shift states; the pull-up wins
}

bool Ecp5Tap::clock(bool tms, bool tdi)
{
    bool out = true;
    if (m_state == ShiftIr) {
        out = m_irShift & 1;
        m_irShift = uint8_t(m_irShift >> 1 | (tdi ? 0x80 : 0));
    } else if (m_state == ShiftDr) {
        if (m_bspi == BspiActive) {
            out = m_flash.clockBit(tdi);
        } else {
            out = m_dr & 1;
            m_dr = m_dr >> 1 | (uint64_t(tdi ? 1 : 0) << (m_drLength - 1));
        }
    }
    enter(State(Next[m_state][tms ? 1 : 0]));
    return out;
}

uint8_t Ecp5Tap::clockByte(uint8_t tdi)
{
    if (m_state != ShiftDr || m_bspi != BspiActive || !m_flash.atByteBoundary())
        return JtagTarget::clockByte(tdi);
    // The flash takes its bits most significant first, the TAP least significant first.
    auto reverse = [](uint8_t b) {
        b = uint8_t((b & 0xF0) >> 4 | (b & 0x0F) << 4);
        b = uint8_t((b & 0xCC) >> 2 | (b & 0x33) << 2);
        return uint8_t((b & 0xAA) >> 1 | (b & 0x55) << 1);
    };
    return reverse(m_flash.transferByte(reverse(tdi)));
}

void Ecp5Tap::enter(State next)
{
    const State previous = m_state;
    m_state = next;
    if (previous == ShiftDr && next != ShiftDr && m_bspi == BspiActive)
        m_flash.deselect();
    switch (next) {
    case TestLogicReset:
        m_ir = ReadId;
        m_bspi = BspiOff;
        m_pending = false;
        captureDr();
        break;
    case CaptureIr: m_irShift = 0x01; break; // the fixed ...01 capture of every TAP
    case UpdateIr:
        m_ir = m_irShift;
        m_bspi = m_ir == LscBackgroundSpi ? BspiAwaitKey : BspiOff;
        m_pending = true;
        break;
    case CaptureDr: captureDr(); break;
    case ShiftDr:
        if (m_bspi == BspiActive)
            m_flash.select();
        break;
    case UpdateDr: updateDr(); break;
    case RunTestIdle:
        if (m_pending) {
            m_pending = false;
            runInstruction();
        }
        break;
    default: break;
    }
}

void Ecp5Tap::captureDr()
{
    switch (m_ir) {
    case ReadId:
        m_dr = m_idCode;
        m_drLength = 32;
        break;
    case UserCode:
        m_dr = 0xFFFFFFFF;
        m_drLength = 32;
        break;
    case LscReadStatus:
        m_dr = status();
        m_drLength = 32;
        break;
    case LscBackgroundSpi:
        m_dr = 0;
        m_drLength = 16;
        break;
    case IscEnable:
    case IscErase:
    case IscDisable:
    case LscRefresh:
        m_dr = 0;
        m_drLength = 8;
        break;
    default: // BYPASS and every instruction this model does not know
        m_dr = 0;
        m_drLength = 1;
        break;
    }
}

void Ecp5Tap::updateDr()
{
    if (m_ir == LscBackgroundSpi && m_bspi == BspiAwaitKey)
        m_bspi = (m_dr & 0xFFFF) == BackgroundSpiKey ? BspiActive : BspiOff;
}

// Configuration instructions act once the TAP idles after loading them.
void Ecp5Tap::runInstruction()
{
    switch (m_ir) {
    case IscEnable: m_iscEnabled = true; break;
    case IscErase:
        if (m_iscEnabled) {
            m_configured = false;
            ++m_erases;
        }
        break;
    case IscDisable: m_iscEnabled = false; break;
    case LscRefresh: refresh(); break;
    default: break;
    }
}

void Ecp5Tap::refresh()
{
    ++m_refreshes;
    m_iscEnabled = false;
    m_bspi = BspiOff;
    m_configured = holdsBitstream(m_flash.contents());
}
