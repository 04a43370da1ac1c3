#pragma once

#include <cstdint>

// The JTAG TAP controller of the device behind the MPSSE link, as the host
// believes it to be, and the primitives that walk and shift it. One per process.
class JtagTap
{
public:
    enum TapState : uint8_t {
        TestLogicReset = 0,
        RunTestIdle = 1,
        SelectDrScan = 2,
        CaptureDr = 3,
        ShiftDr = 4,
        Exit1Dr = 5,
        PauseDr = 6,
        Exit2Dr = 7,
        UpdateDr = 8,
        SelectIrScan = 9,
        CaptureIr = 10,
        ShiftIr = 11,
        Exit1Ir = 12,
        PauseIr = 13,
        Exit2Ir = 14,
        UpdateIr = 15,
    };

    // IEEE 1149.1 state diagram: high nibble the successor for TMS = 1, low nibble for TMS = 0.
    static constexpr uint8_t kNextState[16] = {0x01, 0x21, 0x93, 0x54, 0x54, 0x86, 0x76, 0x84,
                                               0x21, 0x0A, 0xCB, 0xCB, 0xFD, 0xED, 0xFB, 0x21};
    // Bit t of the word for state s: the TMS value that leads from s towards t.
    static constexpr uint16_t kPath[16] = {0x0001, 0xFFFD, 0xFE03, 0xFFE7, 0xFFEF, 0xFF0F, 0xFFBF, 0xFF0F,
                                           0xFEFD, 0x01FF, 0xF3FF, 0xF7FF, 0x87FF, 0xDFFF, 0x87FF, 0x7FFD};

    static JtagTap &instance();

    int open(int interfaceIndex, const char *deviceString, int clockSetting);
    void close();
    TapState state() const { return m_state; }
    void moveTo(TapState target);
    // Shifts bitCount bits, least significant bit of input[0] first; captures
    // TDO into output (may be input). With exitOnLast the last bit leaves the
    // Shift state into its Exit1 state.
    void shift(const uint8_t *input, uint8_t *output, unsigned bitCount, bool exitOnLast);
    void idleClocks(unsigned count);

    static TapState next(TapState s, bool tms) { return TapState(tms ? kNextState[s] >> 4 : kNextState[s] & 0x0F); }

private:
    JtagTap() = default;

    // 3 header bytes + 768 data bytes, or 8 single-bit commands of 3 bytes.
    static constexpr int kMaxChunkBytes = 768;
    uint8_t m_buffer[3 + kMaxChunkBytes] = {};
    uint16_t m_bitCount = 0;
    TapState m_state = TestLogicReset;
};
