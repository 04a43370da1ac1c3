#include "maintenance/JtagTap.h"

#include "maintenance/MpsseLink.h"

#include <cstring>

JtagTap &JtagTap::instance()
{
    static JtagTap tap;
    return tap;
}

int JtagTap::open(int interfaceIndex, const char *deviceString, int clockSetting)
{
    const int rc = MpsseLink::instance().open(interfaceIndex, deviceString, clockSetting);
    if (rc != 0)
        return rc;
    m_state = TestLogicReset;
    uint8_t reset[] = {0x4E, 0x04, 0x1F};
    MpsseLink::instance().exchange(reset, sizeof reset, 0);
    return 0;
}

void JtagTap::close()
{
    MpsseLink::instance().close();
}

void JtagTap::moveTo(TapState target)
{
    if (target == TestLogicReset) {
        uint8_t cmd[] = {0x4E, 0x04, 0x1F};
        MpsseLink::instance().exchange(cmd, sizeof cmd, 0);
        for (int i = 0; i < 5; ++i)
            m_state = next(m_state, true);
        return;
    }
    for (int guard = 0; guard < 10000 && m_state != target; ++guard) {
        const bool tms = (kPath[m_state] >> target) & 1;
        uint8_t cmd[] = {0x4E, 0x00, uint8_t(tms ? 1 : 0)};
        MpsseLink::instance().exchange(cmd, sizeof cmd, 0);
        m_state = next(m_state, tms);
    }
}

void JtagTap::shift(const uint8_t *input, uint8_t *output, unsigned bitCount, bool exitOnLast)
{
    MpsseLink &link = MpsseLink::instance();
    const unsigned e = exitOnLast ? 1 : 0;

    while (bitCount >= e + 8) {
        unsigned chunkBits = (bitCount - e) & ~7u;
        if (chunkBits > kMaxChunkBytes * 8)
            chunkBits = kMaxChunkBytes * 8;
        const unsigned n = chunkBits / 8;
        m_buffer[0] = 0x3D;
        m_buffer[1] = uint8_t((n - 1) & 0xFF);
        m_buffer[2] = uint8_t(((n - 1) >> 8) & 0xFF);
        std::memcpy(m_buffer + 3, input, n);
        link.exchange(m_buffer, uint16_t(n + 3), uint16_t(n));
        std::memcpy(output, m_buffer, n);
        bitCount -= chunkBits;
        input += n;
        output += n;
    }
    if (bitCount == 0)
        return;

    m_bitCount = 0;
    for (unsigned i = 0; i < bitCount; ++i) {
        const bool last = i + 1 == bitCount;
        const uint8_t dataBit = (input[i / 8] >> (i % 8)) & 1;
        const uint8_t tms = last && exitOnLast ? 1 : 0;
        uint8_t *cmd = m_buffer + 3 * m_bitCount;
        cmd[0] = 0x6F;
        cmd[1] = 0x00;
        cmd[2] = uint8_t((dataBit << 7) | tms);
        if (tms)
            m_state = next(m_state, true);
        ++m_bitCount;
    }
    link.exchange(m_buffer, uint16_t(3 * m_bitCount), m_bitCount);
    // Each single-bit read shifts the bridge's read register one place, so the
    // eighth answer of a group carries the whole byte.
    for (unsigned i = 0; i < m_bitCount / 8u; ++i)
        output[i] = m_buffer[8 * i + 7];
}

void JtagTap::idleClocks(unsigned count)
{
    MpsseLink &link = MpsseLink::instance();
    uint8_t bytes[] = {0x8F, uint8_t((count >> 3) & 0xFF), uint8_t((count >> 11) & 0xFF)};
    link.exchange(bytes, sizeof bytes, 0);
    if (count & 7) {
        uint8_t bits[] = {0x8E, uint8_t(count & 7)};
        link.exchange(bits, sizeof bits, 0);
    }
}
