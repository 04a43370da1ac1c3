#include "maintenance/MpsseLink.h"

#include "app/Clock.h"
#include "maintenance/FtdiTransport.h"
#include "maintenance/PrintSink.h"

namespace {
constexpr int kVendor = 0x0403;
constexpr int kProduct = 0x6010;
constexpr int kFallbackProduct = 0x6014;
} // namespace

MpsseLink &MpsseLink::instance()
{
    static MpsseLink link;
    return link;
}

MpsseLink::MpsseLink() : m_clock(Clock::steady()) {}

void MpsseLink::setClock(const Clock *clock)
{
    m_clock = clock ? clock : Clock::steady();
}

void MpsseLink::fail(int code)
{
    m_errorCode = code;
    if (!m_ftdi)
        return;
    if (m_opened) {
        if (m_latencySaved)
            m_ftdi->setLatencyTimer(m_savedLatency);
        m_ftdi->close();
    }
    m_ftdi->deinit();
    m_opened = false;
    m_latencySaved = false;
}

int MpsseLink::open(int interfaceIndex, const char *deviceString, int clockSetting)
{
    static constexpr FtdiTransport::Interface kInterfaces[] = {FtdiTransport::InterfaceA, FtdiTransport::InterfaceB,
                                                               FtdiTransport::InterfaceC, FtdiTransport::InterfaceD};
    const FtdiTransport::Interface which =
        interfaceIndex >= 0 && interfaceIndex <= 3 ? kInterfaces[interfaceIndex] : FtdiTransport::InterfaceA;

    // A fresh context per open, as ftdi_init on a reused one would be.
    m_ftdi = makeFtdiTransport();
    m_opened = false;
    m_latencySaved = false;
    m_ftdi->init();
    m_ftdi->setInterface(which);

    if (deviceString) {
        if (m_ftdi->openString(deviceString) < 0) {
            PrintSink::print("Can't find iCE FTDI USB device (device string %s).\n", deviceString);
            fail(TransportFailure);
            return -1;
        }
    } else if (m_ftdi->open(kVendor, kProduct) < 0 && m_ftdi->open(kVendor, kFallbackProduct) < 0) {
        PrintSink::print("Can't find iCE FTDI USB device (vendor_id 0x0403, device_id 0x6010 or 0x6014).\n");
        fail(TransportFailure);
        return -1;
    }
    m_opened = true;

    if (m_ftdi->usbReset() < 0) {
        PrintSink::print("Failed to reset iCE FTDI USB device.\n");
        fail(TransportFailure);
        return -1;
    }
    if (m_ftdi->purgeBuffers() < 0) {
        PrintSink::print("Failed to purge buffers on iCE FTDI USB device.\n");
        fail(TransportFailure);
        return -1;
    }
    if (m_ftdi->getLatencyTimer(&m_savedLatency) < 0) {
        PrintSink::print("Failed to get latency timer (%s).\n", m_ftdi->errorString());
        fail(TransportFailure);
        return -1;
    }
    if (m_ftdi->setLatencyTimer(1) < 0) {
        PrintSink::print("Failed to set latency timer (%s).\n", m_ftdi->errorString());
        fail(TransportFailure);
        return -1;
    }
    m_latencySaved = true;
    if (m_ftdi->setBitmode(0xFF, FtdiTransport::BitmodeMpsse) < 0) {
        PrintSink::print("Failed to set BITMODE_MPSSE on FTDI USB device.\n");
        fail(TransportFailure);
        return -1;
    }
    if (m_ftdi->purgeBuffers() < 0) {
        PrintSink::print("Purge error.\n");
        fail(TransportFailure);
        return -1;
    }

    // The link works again: transfers are no longer skipped.
    m_errorCode = 0;
    const unsigned divisor = static_cast<unsigned>(clockSetting - 1);
    const uint8_t setup[] = {0x8A, 0x86, uint8_t(divisor & 0xFF), uint8_t((divisor >> 8) & 0xFF), 0x80, 0x08, 0x0B};
    for (uint8_t b : setup) {
        sendByte(b);
        if (m_errorCode)
            return -1;
    }
    return 0;
}

void MpsseLink::close()
{
    if (!m_ftdi)
        return;
    if (m_opened) {
        if (m_latencySaved)
            m_ftdi->setLatencyTimer(m_savedLatency);
        m_ftdi->disableBitbang();
        m_ftdi->close();
    }
    m_ftdi->deinit();
    m_opened = false;
    m_latencySaved = false;
}

void MpsseLink::sendByte(uint8_t value)
{
    if (!m_ftdi || !m_opened) {
        m_errorCode = TransportFailure;
        return;
    }
    const int rc = m_ftdi->writeData(&value, 1);
    if (rc != 1) {
        PrintSink::print("Write error (single byte, rc=%d, expected %d)(%s).\n", rc, 1, m_ftdi->errorString());
        fail(TransportFailure);
    }
}

void MpsseLink::exchange(uint8_t *buffer, uint16_t sendLength, uint16_t receiveLength)
{
    if (m_errorCode || !m_ftdi || !m_opened)
        return;
    if (sendLength > 0) {
        const int rc = m_ftdi->writeData(buffer, sendLength);
        if (rc != sendLength) {
            PrintSink::print("Write error (rc=%d, expected %d)[%s]\n", rc, int(sendLength), m_ftdi->errorString());
            fail(TransportFailure);
            return;
        }
    }
    int total = 0;
    qint64 lastProgressMs = m_clock->nowMs();
    while (total != receiveLength) {
        const int wanted = receiveLength - total;
        const int rc = m_ftdi->readData(buffer + total, wanted);
        // More than asked for cannot come from a sound bridge, and would have
        // gone past the buffer: the transfer is as broken as a failed one.
        if (rc < 0 || rc > wanted) {
            PrintSink::print("Read error (rc=%d)[%s]\n", rc, m_ftdi->errorString());
            fail(TransportFailure);
            return;
        }
        const qint64 now = m_clock->nowMs();
        if (rc > 0) {
            total += rc;
            lastProgressMs = now;
        } else if (now - lastProgressMs >= kReadStallMs) {
            PrintSink::print("Read time-out (%d of %d bytes in %d ms)[%s]\n", total, int(receiveLength), kReadStallMs,
                             m_ftdi->errorString());
            fail(TransportFailure);
            return;
        }
    }
}
