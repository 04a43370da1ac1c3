#pragma once

#include "EmulatedUnit.h"
#include "FtdiHandle.h"
#include "maintenance/FtdiTransport.h"

#include <memory>

// The FTDI transport seam served by the emulated unit, in process: what tests, the
// benchmark and the demo hand the maintenance code instead of LibFtdiTransport.
//
//     auto unit = std::make_shared<EmulatedUnit>(options);
//     ftdiTransportFactory() = emulatedFtdiFactory(unit);
//     // and route the client's 1 ms pause to unit->oneMsPause() for virtual time
class EmulatedFtdi : public FtdiTransport
{
public:
    explicit EmulatedFtdi(std::shared_ptr<EmulatedUnit> unit);

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

    EmulatedUnit &unit() { return *m_unit; }

private:
    std::shared_ptr<EmulatedUnit> m_unit;
    FtdiHandle m_handle;
};

// A factory that hands out channels of the given unit (one bridge, shared).
FtdiTransportFactory emulatedFtdiFactory(std::shared_ptr<EmulatedUnit> unit);
