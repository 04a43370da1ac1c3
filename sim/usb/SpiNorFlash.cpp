#include "SpiNorFlash.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum Opcode : uint8_t {
    WriteStatus = 0x01,
    PageProgram = 0x02,
    Read = 0x03,
    WriteDisable = 0x04,
    ReadStatus1 = 0x05,
    WriteEnable = 0x06,
    FastRead = 0x0B,
    ReadStatus3 = 0x15,
    SectorErase4k = 0x20,
    ReadStatus2 = 0x35,
    UniqueId = 0x4B,
    BlockErase32k = 0x52,
    ChipErase60 = 0x60,
    ResetEnable = 0x66,
    ManufacturerDeviceId = 0x90,
    Reset = 0x99,
    JedecId = 0x9F,
    ReleasePowerDown = 0xAB,
    PowerDown = 0xB9,
    ChipEraseC7 = 0xC7,
    BlockErase64k = 0xD8,
};

constexpr uint8_t DeviceId = 0x14; // the 16 Mbit member of the family
constexpr uint8_t UniqueIdBytes[8] = {0xD2, 0x65, 0x38, 0x14, 0x0B, 0x57, 0x60, 0x2C};

bool isStatusRead(uint8_t op)
{
    return op == ReadStatus1 || op == ReadStatus2 || op == ReadStatus3;
}

} // namespace

SpiNorFlash::SpiNorFlash(EmuClock &clock, const std::string &file, Timings timings, uint32_t jedecId)
    : m_clock(clock), m_timings(timings), m_mem(Size, 0xFF), m_pageBuffer(PageSize, 0xFF)
{
    m_jedec[0] = uint8_t(jedecId >> 16);
    m_jedec[1] = uint8_t(jedecId >> 8);
    m_jedec[2] = uint8_t(jedecId);
    if (file.empty())
        return;
    m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_fileError = file + ": " + std::strerror(errno);
        return;
    }
    ssize_t have = 0;
    while (have < ssize_t(Size)) {
        const ssize_t n = ::pread(m_fd, m_mem.data() + have, Size - have, have);
        if (n <= 0)
            break;
        have += n;
    }
    // A new or short file is completed with erased bytes, so its size is the flash's.
    if (have < ssize_t(Size))
        persist(uint32_t(have), Size - uint32_t(have));
}

SpiNorFlash::~SpiNorFlash()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void SpiNorFlash::persist(uint32_t address, uint32_t length)
{
    if (m_fd < 0)
        return;
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(m_fd, m_mem.data() + address + done, length - done, address + done);
        if (n <= 0) {
            m_fileError = std::string("write: ") + std::strerror(errno);
            return;
        }
        done += uint32_t(n);
    }
}

void SpiNorFlash::load(uint32_t address, const std::vector<uint8_t> &bytes)
{
    const uint32_t n = uint32_t(std::min<size_t>(bytes.size(), Size - std::min(address, Size)));
    if (n == 0)
        return;
    std::memcpy(m_mem.data() + address, bytes.data(), n);
    persist(address, n);
}

void SpiNorFlash::settle() const
{
    if ((m_status & 0x01) && m_clock.nowNs() >= m_busyUntilNs && !m_faults.stuckBusy)
        m_status &= ~0x03; // the operation ended: busy and the write-enable latch clear together
}

bool SpiNorFlash::busy() const
{
    settle();
    return (m_status & 0x01) != 0;
}

void SpiNorFlash::startBusy(int64_t us)
{
    const int64_t ns = int64_t(double(us) * 1000.0 * m_timings.scale);
    if (ns <= 0 && !m_faults.stuckBusy) {
        m_status &= ~0x03;
        return;
    }
    m_busyUntilNs = m_clock.nowNs() + ns;
    m_status |= 0x01;
}

uint32_t SpiNorFlash::address() const
{
    return (uint32_t(m_header[1]) << 16 | uint32_t(m_header[2]) << 8 | m_header[3]) % Size;
}

void SpiNorFlash::select()
{
    if (m_selected)
        return;
    m_selected = true;
    m_ignored = false;
    m_bitInByte = 0;
    m_byteIndex = 0;
    m_header.clear();
    m_outShift = 0xFF;
}

bool SpiNorFlash::clockBit(bool mosi)
{
    if (!m_selected)
        return true; // MISO floats high
    const bool out = (m_outShift & 0x80) != 0;
    m_outShift = uint8_t(m_outShift << 1 | 1);
    m_inShift = uint8_t(m_inShift << 1 | (mosi ? 1 : 0));
    if (++m_bitInByte == 8) {
        m_bitInByte = 0;
        commandByte(m_inShift);
    }
    return out;
}

uint8_t SpiNorFlash::transferByte(uint8_t mosi)
{
    if (!m_selected)
        return 0xFF;
    const uint8_t out = m_outShift;
    commandByte(mosi);
    return out;
}

// Takes one whole byte from the host and sets the byte the flash shifts out next.
void SpiNorFlash::commandByte(uint8_t byte)
{
    const uint32_t index = m_byteIndex++;
    if (index == 0) {
        if (byte != Reset)
            m_resetEnabled = m_resetEnabled && byte == ResetEnable;
        if ((busy() && !isStatusRead(byte)) || (m_poweredDown && byte != ReleasePowerDown)) {
            m_ignored = true;
            ++m_counters.ignoredWhileBusy;
        }
    }
    if (m_header.size() < 5)
        m_header.push_back(byte);
    m_outShift = 0xFF;
    if (m_ignored)
        return;
    const uint8_t op = m_header[0];
    switch (op) {
    case ReadStatus1:
        settle();
        m_outShift = m_status;
        break;
    case ReadStatus2:
    case ReadStatus3: m_outShift = 0x00; break;
    case JedecId: m_outShift = index < 3 ? m_jedec[index] : 0xFF; break;
    case Read:
    case FastRead: {
        const uint32_t dataStart = op == Read ? 3 : 4; // the byte after which data flows
        if (index == dataStart)
            m_readAddress = address();
        else if (index > dataStart)
            m_readAddress = (m_readAddress + 1) % Size;
        if (index >= dataStart)
            m_outShift = uint8_t(m_mem[m_readAddress] ^ (m_readAddress == m_faults.flipReadAt ? 1 : 0));
        break;
    }
    case PageProgram:
        if (index >= 4)
            m_pageBuffer[(m_header[3] + (index - 4)) % PageSize] = byte;
        break;
    case ReleasePowerDown:
        if (index >= 3)
            m_outShift = DeviceId;
        break;
    case ManufacturerDeviceId:
        if (index >= 3)
            m_outShift = ((index - 3 + m_header[3]) & 1) ? DeviceId : m_jedec[0];
        break;
    case UniqueId:
        if (index >= 4 && index < 12)
            m_outShift = UniqueIdBytes[index - 4];
        break;
    default: break;
    }
}

void SpiNorFlash::deselect()
{
    if (!m_selected)
        return;
    m_selected = false;
    finishTransaction();
    std::fill(m_pageBuffer.begin(), m_pageBuffer.end(), 0xFF);
}

// Writes and erases act when chip select rises, and only on a whole last byte.
void SpiNorFlash::finishTransaction()
{
    if (m_ignored || m_byteIndex == 0 || m_bitInByte != 0)
        return;
    const uint8_t op = m_header[0];
    auto needsLatch = [this]() {
        if (m_status & 0x02)
            return true;
        ++m_counters.refusedWithoutWriteEnable;
        return false;
    };
    auto erase = [this](uint32_t size, int64_t us) {
        const uint32_t start = address() & ~(size - 1);
        std::fill(m_mem.begin() + start, m_mem.begin() + start + size, 0xFF);
        persist(start, size);
        startBusy(us);
    };
    switch (op) {
    case WriteEnable: m_status |= 0x02; break;
    case WriteDisable: m_status &= ~0x02; break;
    case PageProgram:
        if (m_byteIndex < 5 || !needsLatch())
            break;
        {
            const uint32_t page = address() & ~(PageSize - 1);
            for (uint32_t i = 0; i < PageSize; ++i)
                m_mem[page + i] &= m_pageBuffer[i];
            persist(page, PageSize);
            ++m_counters.pagePrograms;
            startBusy(m_timings.pageProgramUs);
        }
        break;
    case SectorErase4k:
        if (m_byteIndex == 4 && needsLatch()) {
            erase(4096, m_timings.sectorEraseUs);
            ++m_counters.sectorErases;
        }
        break;
    case BlockErase32k:
    case BlockErase64k:
        if (m_byteIndex == 4 && needsLatch()) {
            erase(op == BlockErase32k ? 32768 : 65536,
                  op == BlockErase32k ? m_timings.block32EraseUs : m_timings.block64EraseUs);
            ++m_counters.blockErases;
        }
        break;
    case ChipErase60:
    case ChipEraseC7:
        if (m_byteIndex == 1 && needsLatch()) {
            std::fill(m_mem.begin(), m_mem.end(), 0xFF);
            persist(0, Size);
            ++m_counters.chipErases;
            startBusy(m_timings.chipEraseUs);
        }
        break;
    case WriteStatus:
        if (m_byteIndex >= 2 && needsLatch()) {
            m_status = uint8_t((m_status & 0x03) | (m_header[1] & 0xFC));
            startBusy(m_timings.statusWriteUs);
        }
        break;
    case PowerDown: m_poweredDown = true; break;
    case ReleasePowerDown: m_poweredDown = false; break;
    case ResetEnable: m_resetEnabled = true; break;
    case Reset:
        if (m_resetEnabled)
            m_status &= 0xFC;
        m_resetEnabled = false;
        break;
    default: break;
    }
}
