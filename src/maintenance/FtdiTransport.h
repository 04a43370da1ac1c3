#pragma once

#include <functional>
#include <memory>

// One FTDI USB bridge channel, shaped like libftdi1's C interface so that the
// JTAG link and the console read like the vendor's documentation. Every call
// returns what the libftdi1 function of the same purpose returns (negative on
// failure, the byte count for writeData/readData). The real implementation is
// LibFtdiTransport; the unit's USB side has an in-process emulation (sim/) that
// implements this same interface for tests, benchmarks and the demo.
class FtdiTransport
{
public:
    // Numbered as libftdi's enum ftdi_interface (INTERFACE_A = 1 ...).
    enum Interface { InterfaceAny = 0, InterfaceA = 1, InterfaceB = 2, InterfaceC = 3, InterfaceD = 4 };
    // libftdi's enum ftdi_bits_type / ftdi_stopbits_type / ftdi_parity_type values.
    enum DataBits { Bits7 = 7, Bits8 = 8 };
    enum StopBits { StopBit1 = 0, StopBit15 = 1, StopBit2 = 2 };
    enum Parity { ParityNone = 0, ParityOdd = 1, ParityEven = 2, ParityMark = 3, ParitySpace = 4 };
    enum BitMode { BitmodeReset = 0x00, BitmodeMpsse = 0x02 };

    virtual ~FtdiTransport() = default;

    virtual int init() = 0;                                                         // ftdi_init
    virtual void deinit() = 0;                                                      // ftdi_deinit
    virtual int setInterface(Interface which) = 0;                                  // ftdi_set_interface (before open)
    virtual int open(int vendor, int product) = 0;                                  // ftdi_usb_open
    virtual int openString(const char *description) = 0;                            // ftdi_usb_open_string
    virtual int usbReset() = 0;                                                     // ftdi_usb_reset
    virtual int purgeBuffers() = 0;                                                 // ftdi_usb_purge_buffers
    virtual int getLatencyTimer(unsigned char *latency) = 0;                        // ftdi_get_latency_timer
    virtual int setLatencyTimer(unsigned char latency) = 0;                         // ftdi_set_latency_timer
    virtual int setBitmode(unsigned char pinMask, unsigned char mode) = 0;          // ftdi_set_bitmode
    virtual int disableBitbang() = 0;                                               // ftdi_disable_bitbang
    virtual int writeData(const unsigned char *data, int size) = 0;                 // ftdi_write_data
    virtual int readData(unsigned char *data, int size) = 0;                        // ftdi_read_data (0 = nothing yet)
    virtual int setBaudRate(int baud) = 0;                                          // ftdi_set_baudrate
    virtual int setLineProperties(DataBits bits, StopBits stop, Parity parity) = 0; // ftdi_set_line_property
    virtual int close() = 0;                                                        // ftdi_usb_close
    virtual const char *errorString() = 0;                                          // ftdi_get_error_string
};

// Makes a fresh, un-initialised transport. The process uses one per channel
// (JTAG on A, console on B). Tests and the demo replace the factory with one
// that hands out emulated channels; the default makes LibFtdiTransport.
using FtdiTransportFactory = std::function<std::unique_ptr<FtdiTransport>()>;
FtdiTransportFactory &ftdiTransportFactory();
std::unique_ptr<FtdiTransport> makeFtdiTransport();
