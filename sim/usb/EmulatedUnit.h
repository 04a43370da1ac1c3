#pragma once

#include "EmuClock.h"
#include "Ecp5Tap.h"
#include "MpsseEngine.h"
#include "SpiNorFlash.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Ways the bridge misbehaves on purpose; every switch can change at any time.
struct UsbFaults {
    bool absent = false;      // no bridge on the bus: every open says "device not found"
    bool refuseReset = false; // the reset request fails
    bool refusePurge = false; // purging the buffers fails
    bool refuseLatencyRead = false;
    bool refuseLatency = false; // setting the latency timer fails
    bool refuseBitmode = false;
    int shortWrite = -1;      // >= 0: a write hands at most this many bytes to the chip
    bool readError = false;   // reads fail
    bool stall = false;       // reads return 0 bytes forever
    int64_t unplugAfter = -1; // >= 0: the bridge is pulled out once this many bytes were written
    int readChunk = 0;        // > 0: a read returns at most this many bytes (short reads)
    int zeroReadEvery = 0;    // > 0: every n-th read returns 0 bytes although data waits
};

struct UnitOptions {
    std::string flashFile;           // empty: the flash lives in memory only, erased
    bool virtualTime = true;         // false: busy times and empty reads cost real time
    std::shared_ptr<EmuClock> clock; // when set, used instead of either (shared with the test)
    FlashTimings timings;
    uint16_t vendor = 0x0403;
    uint16_t product = 0x6010; // 0x6014 is the single-channel part
    std::string manufacturer = "FTDI";
    std::string description = "Dual RS232-HS";
    std::string serial = "VQ6020-0001";
    uint8_t bus = 1, address = 4;
    // A read that returns data costs this long, as a USB round trip does (microseconds).
    int readTurnaroundUs = 0;
    uint32_t idCode = Ecp5Tap::IdCode;              // another value stands for a foreign FPGA
    uint32_t jedecId = SpiNorFlash::DefaultJedecId; // 0xFFFFFF: no flash answers
    UsbFaults faults;
    FlashFaults flashFaults;
};

// The unit's USB side: an FTDI two-channel bridge whose channel A (MPSSE) drives the
// JTAG port of the ECP5, which reaches the 2 MiB SPI flash, and whose channel B is
// the unit's serial console. Hosts reach it through FtdiHandle (libftdi-shaped): the
// in-process EmulatedFtdi and the LD_PRELOAD stand-in for libftdi1.
//
// It also records what hosts did: every call (one line each, see calls()) and the
// bytes written to each channel, so a test can check a client on the bytes it sent.
class EmulatedUnit
{
public:
    using Options = UnitOptions;

    // One bridge channel as the chip keeps it between host sessions.
    struct Channel {
        bool claimed = false;
        uint8_t latency = 16; // the chip's power-on value
        uint8_t bitmode = 0;  // 0 reset (UART), 2 MPSSE, others bit-bang
        int baud = 9600;
        int dataBits = 8, stopBits = 0, parity = 0; // 8N1, as libftdi numbers them
        std::unique_ptr<MpsseEngine> mpsse;
        std::deque<uint8_t> uartReceive; // console to host, bounded as the chip's buffer
        std::vector<uint8_t> uartSent;   // host to console
        std::vector<uint8_t> written;    // every byte the chip took on this channel
        int reads = 0;
    };
    static constexpr size_t UartBufferSize = 4096;

    explicit EmulatedUnit(Options options = Options());
    ~EmulatedUnit();

    std::mutex &mutex() { return m_mutex; }
    EmuClock &clock() { return *m_clock; }
    std::shared_ptr<EmuClock> sharedClock() const { return m_clock; }
    SpiNorFlash &flash() { return *m_flash; }
    Ecp5Tap &fpga() { return *m_fpga; }
    UsbFaults &faults() { return m_options.faults; }
    const Options &options() const { return m_options; }
    Channel &channel(int index) { return m_channels[index]; } // 0 = A, 1 = B

    // The host's pause (the client's 1 ms wait between busy polls goes here).
    void pauseMs(int ms);
    std::function<void()> oneMsPause();

    // The console: bytes the unit sends to the host (kept up to the chip's buffer
    // size, the rest lost) and what the host sent to the unit.
    void consoleSend(const std::vector<uint8_t> &bytes);
    std::vector<uint8_t> consoleReceived();
    size_t consoleLost() const { return m_consoleLost; }

    // Recording every call and byte costs memory on long runs (a benchmark turns it off).
    void setRecording(bool on) { m_recording = on; }
    bool recording() const { return m_recording; }
    std::vector<std::string> calls() const;
    std::vector<uint8_t> written(int channel) const;
    void clearTrace();
    void note(const std::string &call); // for FtdiHandle
    bool unplugged() const { return m_unplugged; }
    void unplug() { m_unplugged = true; }
    int64_t bytesWritten() const { return m_bytesWritten; }
    void countWritten(int64_t n) { m_bytesWritten += n; }
    void lose(size_t n) { m_consoleLost += n; }

private:
    Options m_options;
    mutable std::mutex m_mutex;
    std::shared_ptr<EmuClock> m_clock;
    std::unique_ptr<SpiNorFlash> m_flash;
    std::unique_ptr<Ecp5Tap> m_fpga;
    Channel m_channels[2];
    std::vector<std::string> m_calls;
    bool m_recording = true;
    int m_repeats = 1;
    bool m_unplugged = false;
    int64_t m_bytesWritten = 0;
    size_t m_consoleLost = 0;
};
