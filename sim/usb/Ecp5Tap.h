#pragma once

#include "SpiNorFlash.h"

#include <cstdint>

// Anything on the far side of the bridge's JTAG pins: one TCK rising edge with the
// TMS and TDI levels the bridge drives, answering the TDO level sampled on it.
class JtagTarget
{
public:
    virtual ~JtagTarget() = default;
    virtual bool clock(bool tms, bool tdi) = 0;
    // Eight clocks with TMS low, TDI least significant bit first; returns the eight TDO
    // bits in the same order. A target may do this faster than eight single clocks.
    virtual uint8_t clockByte(uint8_t tdi);
    // TDO level between clocks (what a pin read sees).
    virtual bool tdo() const = 0;
};

// The unit's ECP5 FPGA at its JTAG port: the IEEE 1149.1 TAP controller with an
// 8-bit instruction register and the instructions the maintenance path and common
// tools use. While LSC_BACKGROUND_SPI is active (enabled by its 16-bit key), every
// data-register shift is a bit on the SPI flash: the flash is selected in Shift-DR
// and deselected when the TAP leaves it; TDI drives the flash's data input and TDO
// shows its data output in the same clock.
class Ecp5Tap : public JtagTarget
{
public:
    enum State : uint8_t {
        TestLogicReset,
        RunTestIdle,
        SelectDrScan,
        CaptureDr,
        ShiftDr,
        Exit1Dr,
        PauseDr,
        Exit2Dr,
        UpdateDr,
        SelectIrScan,
        CaptureIr,
        ShiftIr,
        Exit1Ir,
        PauseIr,
        Exit2Ir,
        UpdateIr
    };
    enum Instruction : uint8_t {
        IscErase = 0x0E,
        IscDisable = 0x26,
        LscBackgroundSpi = 0x3A,
        LscReadStatus = 0x3C,
        LscRefresh = 0x79,
        UserCode = 0xC0,
        IscEnable = 0xC6,
        ReadId = 0xE0,
        Bypass = 0xFF
    };
    // Bits of the 32-bit status register.
    enum StatusBit : uint32_t { StatusDone = 1u << 8, StatusIscEnabled = 1u << 9, StatusBusy = 1u << 12 };
    static constexpr uint32_t IdCode = 0x41111043; // LFE5U-25, the unit's part
    static constexpr uint16_t BackgroundSpiKey = 0x68FE;

    explicit Ecp5Tap(SpiNorFlash &flash, uint32_t idCode = IdCode);

    bool clock(bool tms, bool tdi) override;
    uint8_t clockByte(uint8_t tdi) override;
    bool tdo() const override;

    State state() const { return m_state; }
    uint8_t instruction() const { return m_ir; }
    bool backgroundSpiActive() const { return m_bspi == BspiActive; }
    uint32_t status() const;
    // Configuration state: cleared (no design), running a design loaded from flash.
    bool configured() const { return m_configured; }
    bool inConfigurationMode() const { return m_iscEnabled; }
    int refreshCount() const { return m_refreshes; }
    int eraseCount() const { return m_erases; }

private:
    void enter(State next);
    void captureDr();
    void updateDr();
    void runInstruction();
    void refresh();

    SpiNorFlash &m_flash;
    uint32_t m_idCode;
    State m_state = TestLogicReset;
    uint8_t m_ir = ReadId;
    uint8_t m_irShift = 0;
    uint64_t m_dr = 0;
    int m_drLength = 32;
    bool m_pending = false; // an instruction waits for Run-Test/Idle to act
    enum { BspiOff, BspiAwaitKey, BspiActive } m_bspi = BspiOff;
    bool m_iscEnabled = false;
    bool m_configured = true;
    int m_refreshes = 0;
    int m_erases = 0;
};
