#pragma once

#include "EmuClock.h"

#include <cstdint>
#include <string>
#include <vector>

// Typical times of a 16 Mbit part, in microseconds.
struct FlashTimings {
    int64_t pageProgramUs = 700;
    int64_t sectorEraseUs = 45'000;   // 4 KiB
    int64_t block32EraseUs = 120'000; // 32 KiB
    int64_t block64EraseUs = 150'000; // 64 KiB
    int64_t chipEraseUs = 5'000'000;
    int64_t statusWriteUs = 10'000;
    // Every time above is multiplied by this (0 = never busy).
    double scale = 1.0;
};

// Ways the flash misbehaves on purpose; both can change at any time.
struct FlashFaults {
    bool stuckBusy = false;  // once busy, the flash never reports ready again
    int64_t flipReadAt = -1; // >= 0: reads of this address return bit 0 inverted
};

// A 2 MiB serial NOR flash as the unit's FPGA boots from it, seen from its SPI pins
// (mode 0, most significant bit first). It behaves as the parts of this class do:
// a write-enable latch that every program or erase needs and that each of them
// clears; page program can only clear bits and wraps inside its 256-byte page;
// 4 KiB sector, 32/64 KiB block and chip erase; a busy bit that stays set for a
// typical busy time on the injected clock, while every command but the status reads
// is ignored. Program and erase commands act when chip select rises on a whole byte.
//
// The contents live in a file when one is given: created erased (0xFF) when absent,
// every program or erase written through at once, so another process (cmp, a
// third-party tool) sees what the flash holds.
class SpiNorFlash
{
public:
    static constexpr uint32_t Size = 2 * 1024 * 1024;
    static constexpr uint32_t PageSize = 256;

    using Timings = FlashTimings;

    struct Counters {
        int pagePrograms = 0;
        int sectorErases = 0; // 4 KiB
        int blockErases = 0;  // 32 or 64 KiB
        int chipErases = 0;
        int ignoredWhileBusy = 0;
        int refusedWithoutWriteEnable = 0;
    };

    static constexpr uint32_t DefaultJedecId = 0xEF4015; // manufacturer, memory type, capacity (2^0x15)

    SpiNorFlash(EmuClock &clock, const std::string &file = std::string(), Timings timings = Timings(),
                uint32_t jedecId = DefaultJedecId);
    ~SpiNorFlash();
    SpiNorFlash(const SpiNorFlash &) = delete;
    SpiNorFlash &operator=(const SpiNorFlash &) = delete;

    // An empty text when the contents are fine; otherwise why the file could not be used
    // (the flash then works from memory).
    const std::string &fileError() const { return m_fileError; }

    // SPI pins.
    void select();
    void deselect();
    bool clockBit(bool mosi);
    // Eight clocks at once; only valid between bytes (every caller checks atByteBoundary).
    uint8_t transferByte(uint8_t mosi);
    bool atByteBoundary() const { return m_bitInByte == 0; }
    bool selected() const { return m_selected; }

    bool busy() const;
    bool writeEnabled() const { return (m_status & 0x02) != 0; }
    const std::vector<uint8_t> &contents() const { return m_mem; }
    // Test set-up: put bytes straight into the array (and the file).
    void load(uint32_t address, const std::vector<uint8_t> &bytes);
    const Counters &counters() const { return m_counters; }
    Timings &timings() { return m_timings; }
    FlashFaults &faults() { return m_faults; }

private:
    void commandByte(uint8_t byte);
    void finishTransaction();
    uint8_t nextOutput();
    void startBusy(int64_t us);
    void settle() const;
    void persist(uint32_t address, uint32_t length);
    uint32_t address() const;

    EmuClock &m_clock;
    Timings m_timings;
    FlashFaults m_faults;
    Counters m_counters;
    std::vector<uint8_t> m_mem;
    std::string m_fileError;
    int m_fd = -1;

    uint8_t m_jedec[3];
    mutable uint8_t m_status = 0; // bit 0 busy, bit 1 write-enable latch, bits 2..7 as written
    mutable int64_t m_busyUntilNs = 0;
    bool m_poweredDown = false;
    bool m_resetEnabled = false;

    bool m_selected = false;
    bool m_ignored = false; // the transaction began while busy
    uint8_t m_inShift = 0;  // bits of the byte coming in
    uint8_t m_outShift = 0xFF;
    int m_bitInByte = 0;
    uint32_t m_byteIndex = 0;      // bytes of this transaction so far
    std::vector<uint8_t> m_header; // opcode and address bytes
    std::vector<uint8_t> m_pageBuffer;
    uint32_t m_readAddress = 0;
};
