#pragma once

#include <cstdint>
#include <memory>
#include <string>

class EmulatedUnit;

// One host's handle on the emulated bridge, shaped and numbered like a libftdi1 1.5
// context: every call returns what the libftdi function of the same name returns in
// the same situation, with the same error text, so a client cannot tell the two apart.
class FtdiHandle
{
public:
    explicit FtdiHandle(std::shared_ptr<EmulatedUnit> unit);
    ~FtdiHandle();
    FtdiHandle(const FtdiHandle &) = delete;
    FtdiHandle &operator=(const FtdiHandle &) = delete;

    int init();
    void deinit();
    int setInterface(int which); // 0 any (= A), 1 A, 2 B, 3 C, 4 D
    // Opens the index-th bridge that matches; description and serial may be null.
    int open(int vendor, int product, const char *description = nullptr, const char *serial = nullptr,
             unsigned index = 0);
    int openString(const char *text); // "d:BBB/AAA", "i:vid:pid[:index]", "s:vid:pid:serial"
    int openBusAddr(uint8_t bus, uint8_t address);
    int usbReset();
    int purge(bool receive, bool transmit);
    int purgeBuffers();
    int getLatency(unsigned char *latency);
    int setLatency(unsigned char latency);
    int setBitmode(unsigned char mask, unsigned char mode);
    int disableBitbang();
    int write(const unsigned char *data, int size);
    int read(unsigned char *data, int size);
    int setBaudrate(int baud);
    int setLineProperty(int bits, int stop, int parity);
    int close();
    const char *errorString() const { return m_error; }

    bool isOpen() const { return m_open; }
    int channel() const { return m_channel; } // 0 = A, 1 = B
    int chipType() const;                     // libftdi's enum ftdi_chip_type value
    std::string describe(const std::string &what) const;

private:
    int fail(int code, const char *text);
    bool gone(); // the bridge was unplugged under an open handle

    std::shared_ptr<EmulatedUnit> m_unit;
    int m_interface = 0;
    int m_channel = 0;
    bool m_open = false;
    const char *m_error = nullptr;
};
