#pragma once

#include <cstdint>
#include <functional>

// The unit's SPI NOR flash reached through the ECP5's background-SPI path, and
// the ECP5 instruction sequences around it. The FPGA keeps the flash selected
// while the TAP sits in Shift-DR, so a transaction ends when a shift exits.
//
// Busy polls pause 1 ms between reads; the pause is the owner's to give, so
// that an emulated unit can run the same code in virtual time.
class Ecp5Flash
{
public:
    using Pause = std::function<void()>;
    explicit Ecp5Flash(Pause pauseOneMs);

    // ECP5 instructions.
    enum : uint8_t {
        IscEnable = 0xC6,
        IscErase = 0x0E,
        IscDisable = 0x26,
        LscBackgroundSpi = 0x3A,
        LscRefresh = 0x79,
    };

    void sendSpi(uint8_t *bytes, int n);
    void transferSpi(uint8_t *bytes, int n);
    void writeEnable();
    // Polls until the flash reads not-busy three times in a row. Gives up
    // (false) after kBusyPollLimit polls, far beyond any 64 KiB erase, or at
    // once when the link has failed.
    bool waitReady();
    void startRead(uint32_t address);
    void continueRead(uint8_t *buffer, int n);
    void programPage(uint32_t address, const uint8_t *data, int n);
    void eraseBlock64k(uint32_t address);
    void resetFlashModes();

    void ecpCommand8(uint8_t opcode);
    // The TAP must be freshly reset: IDCODE is the instruction a reset selects.
    uint32_t readIdcode();
    // Manufacturer, memory type and capacity, in the order the flash sends them.
    uint32_t readJedecId();
    void enableBackgroundSpi();
    void refresh();

    static constexpr int kBusyPollLimit = 10000;
    static bool isEcp5(uint32_t idcode);

private:
    void shiftSpi(uint8_t *bytes, int n, bool exit);
    Pause m_pause;
};
