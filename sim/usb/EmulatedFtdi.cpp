#include "EmulatedFtdi.h"

EmulatedFtdi::EmulatedFtdi(std::shared_ptr<EmulatedUnit> unit) : m_unit(unit), m_handle(std::move(unit)) {}

int EmulatedFtdi::init()
{
    return m_handle.init();
}

void EmulatedFtdi::deinit()
{
    m_handle.deinit();
}

int EmulatedFtdi::setInterface(Interface which)
{
    return m_handle.setInterface(int(which));
}

int EmulatedFtdi::open(int vendor, int product)
{
    return m_handle.open(vendor, product);
}

int EmulatedFtdi::openString(const char *description)
{
    return m_handle.openString(description);
}

int EmulatedFtdi::usbReset()
{
    return m_handle.usbReset();
}

int EmulatedFtdi::purgeBuffers()
{
    return m_handle.purgeBuffers();
}

int EmulatedFtdi::getLatencyTimer(unsigned char *latency)
{
    return m_handle.getLatency(latency);
}

int EmulatedFtdi::setLatencyTimer(unsigned char latency)
{
    return m_handle.setLatency(latency);
}

int EmulatedFtdi::setBitmode(unsigned char pinMask, unsigned char mode)
{
    return m_handle.setBitmode(pinMask, mode);
}

int EmulatedFtdi::disableBitbang()
{
    return m_handle.disableBitbang();
}

int EmulatedFtdi::writeData(const unsigned char *data, int size)
{
    return m_handle.write(data, size);
}

int EmulatedFtdi::readData(unsigned char *data, int size)
{
    return m_handle.read(data, size);
}

int EmulatedFtdi::setBaudRate(int baud)
{
    return m_handle.setBaudrate(baud);
}

int EmulatedFtdi::setLineProperties(DataBits bits, StopBits stop, Parity parity)
{
    return m_handle.setLineProperty(int(bits), int(stop), int(parity));
}

int EmulatedFtdi::close()
{
    return m_handle.close();
}

const char *EmulatedFtdi::errorString()
{
    const char *text = m_handle.errorString();
    return text ? text : "";
}

FtdiTransportFactory emulatedFtdiFactory(std::shared_ptr<EmulatedUnit> unit)
{
    return [unit]() -> std::unique_ptr<FtdiTransport> { return std::make_unique<EmulatedFtdi>(unit); };
}
