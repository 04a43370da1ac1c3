#pragma once

#include "maintenance/FtdiTransport.h"

struct ftdi_context;

// FtdiTransport over libftdi1. This is the only file pair that knows libftdi's
// types; the context is allocated so that <ftdi.h> stays out of this header.
class LibFtdiTransport : public FtdiTransport
{
public:
    LibFtdiTransport();
    ~LibFtdiTransport() override;

    int init() override;
    void deinit() override;
    int setInterface(Interface which) override;
    int open(int vendor, int product) override;
    int openString(const char *description) override;
    int usbReset() override;
    int purgeBuffers() override;
    int getLatencyTimer(unsigned char *latency) override;
    int setLatencyTimer(unsigned char latency) override;
    int setBitmode(unsigned char pinMask, unsigned char mode) override;
    int disableBitbang() override;
    int writeData(const unsigned char *data, int size) override;
    int readData(unsigned char *data, int size) override;
    int setBaudRate(int baud) override;
    int setLineProperties(DataBits bits, StopBits stop, Parity parity) override;
    int close() override;
    const char *errorString() override;

private:
    ftdi_context *m_ctx = nullptr;
    bool m_initialised = false;
};

// True when the process's transport factory makes the real libftdi1 bridge
// (nobody replaced it with an emulated one). Content that must never reach a
// unit is refused on such a factory.
bool ftdiTransportIsHardware();
