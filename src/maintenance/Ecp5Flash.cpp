#include "maintenance/Ecp5Flash.h"

#include "maintenance/JtagTap.h"
#include "maintenance/MpsseLink.h"

#include <cstring>

namespace {

// SPI sends the most significant bit first, JTAG the least significant.
struct BitReverse {
    uint8_t table[256];
    constexpr BitReverse() : table()
    {
        for (int i = 0; i < 256; ++i) {
            uint8_t r = 0;
            for (int b = 0; b < 8; ++b)
                if (i & (1 << b))
                    r |= uint8_t(0x80 >> b);
            table[i] = r;
        }
    }
};
constexpr BitReverse kReverse;

void reverseBytes(uint8_t *bytes, int n)
{
    for (int i = 0; i < n; ++i)
        bytes[i] = kReverse.table[bytes[i]];
}

enum : uint8_t {
    CmdWriteEnable = 0x06,
    CmdReadStatus = 0x05,
    CmdRead = 0x03,
    CmdPageProgram = 0x02,
    CmdBlockErase64k = 0xD8,
    CmdJedecId = 0x9F,
};

JtagTap &tap()
{
    return JtagTap::instance();
}

} // namespace

Ecp5Flash::Ecp5Flash(Pause pauseOneMs) : m_pause(std::move(pauseOneMs)) {}

void Ecp5Flash::shiftSpi(uint8_t *bytes, int n, bool exit)
{
    reverseBytes(bytes, n);
    tap().shift(bytes, bytes, unsigned(n) * 8, exit);
    reverseBytes(bytes, n);
}

void Ecp5Flash::sendSpi(uint8_t *bytes, int n)
{
    tap().moveTo(JtagTap::ShiftDr);
    shiftSpi(bytes, n, false);
}

void Ecp5Flash::transferSpi(uint8_t *bytes, int n)
{
    if (tap().state() != JtagTap::ShiftDr)
        tap().moveTo(JtagTap::ShiftDr);
    shiftSpi(bytes, n, true);
}

void Ecp5Flash::writeEnable()
{
    uint8_t cmd[] = {CmdWriteEnable};
    transferSpi(cmd, 1);
}

bool Ecp5Flash::waitReady()
{
    int count = 0;
    for (int polls = 0; polls < kBusyPollLimit; ++polls) {
        if (MpsseLink::instance().errorCode())
            return false;
        uint8_t cmd[] = {CmdReadStatus, 0x00};
        transferSpi(cmd, 2);
        if (cmd[1] & 0x01) {
            count = 0;
        } else {
            if (count >= 2)
                return true;
            ++count;
        }
        m_pause();
    }
    return false;
}

void Ecp5Flash::startRead(uint32_t address)
{
    uint8_t cmd[] = {CmdRead, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    sendSpi(cmd, 4);
}

void Ecp5Flash::continueRead(uint8_t *buffer, int n)
{
    std::memset(buffer, 0, size_t(n));
    sendSpi(buffer, n);
}

void Ecp5Flash::programPage(uint32_t address, const uint8_t *data, int n)
{
    uint8_t cmd[] = {CmdPageProgram, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    sendSpi(cmd, 4);
    uint8_t page[256];
    if (n > int(sizeof page))
        n = int(sizeof page);
    std::memcpy(page, data, size_t(n));
    transferSpi(page, n);
}

void Ecp5Flash::eraseBlock64k(uint32_t address)
{
    uint8_t cmd[] = {CmdBlockErase64k, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    transferSpi(cmd, 4);
}

void Ecp5Flash::resetFlashModes()
{
    // All ones leave continuous-read and QPI modes whatever the flash was left in.
    static const int kBits[] = {64, 2, 8};
    for (int bits : kBits) {
        uint8_t ones[8];
        std::memset(ones, 0xFF, sizeof ones);
        tap().moveTo(JtagTap::ShiftDr);
        tap().shift(ones, ones, unsigned(bits), true);
    }
}

void Ecp5Flash::ecpCommand8(uint8_t opcode)
{
    tap().moveTo(JtagTap::ShiftIr);
    uint8_t ir = opcode;
    tap().shift(&ir, &ir, 8, true);
    tap().moveTo(JtagTap::ShiftDr);
    uint8_t dr = 0;
    tap().shift(&dr, &dr, 8, true);
    tap().moveTo(JtagTap::RunTestIdle);
    tap().idleClocks(32);
}

uint32_t Ecp5Flash::readIdcode()
{
    tap().moveTo(JtagTap::ShiftDr);
    uint8_t id[4] = {};
    tap().shift(id, id, 32, true);
    tap().moveTo(JtagTap::RunTestIdle);
    if (MpsseLink::instance().errorCode())
        return 0;
    return uint32_t(id[0]) | uint32_t(id[1]) << 8 | uint32_t(id[2]) << 16 | uint32_t(id[3]) << 24;
}

uint32_t Ecp5Flash::readJedecId()
{
    uint8_t cmd[] = {CmdJedecId, 0, 0, 0};
    transferSpi(cmd, 4);
    if (MpsseLink::instance().errorCode())
        return 0;
    return uint32_t(cmd[1]) << 16 | uint32_t(cmd[2]) << 8 | cmd[3];
}

void Ecp5Flash::enableBackgroundSpi()
{
    tap().moveTo(JtagTap::ShiftIr);
    uint8_t ir = LscBackgroundSpi;
    tap().shift(&ir, &ir, 8, true);
    tap().moveTo(JtagTap::ShiftDr);
    uint8_t operand[] = {0xFE, 0x68};
    tap().shift(operand, operand, 16, true);
    tap().moveTo(JtagTap::RunTestIdle);
}

void Ecp5Flash::refresh()
{
    tap().moveTo(JtagTap::ShiftIr);
    uint8_t ir = LscRefresh;
    tap().shift(&ir, &ir, 8, true);
    tap().moveTo(JtagTap::RunTestIdle);
    tap().idleClocks(32);
}

bool Ecp5Flash::isEcp5(uint32_t idcode)
{
    // LFE5U-12/25/45/85, LFE5UM-25/45/85 and LFE5UM5G-25/45/85.
    static const uint32_t kParts[] = {0x21111043, 0x41111043, 0x41112043, 0x41113043, 0x01111043,
                                      0x01112043, 0x01113043, 0x81111043, 0x81112043, 0x81113043};
    for (uint32_t p : kParts)
        if (idcode == p)
            return true;
    return false;
}
