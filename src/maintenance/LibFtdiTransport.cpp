#include "maintenance/LibFtdiTransport.h"

#include <ftdi.h>

// Before init and after deinit libftdi has no context to report on; its own
// functions answer a null context with this kind of code and text.
namespace {
constexpr int kNoContext = -666;
constexpr char kNoContextText[] = "libftdi context not initialised";
} // namespace

LibFtdiTransport::LibFtdiTransport() : m_ctx(new ftdi_context{}) {}

LibFtdiTransport::~LibFtdiTransport()
{
    deinit();
    delete m_ctx;
}

int LibFtdiTransport::init()
{
    deinit();
    const int rc = ftdi_init(m_ctx);
    m_initialised = rc == 0;
    return rc;
}

void LibFtdiTransport::deinit()
{
    if (m_initialised)
        ftdi_deinit(m_ctx);
    m_initialised = false;
}

int LibFtdiTransport::setInterface(Interface which)
{
    return m_initialised ? ftdi_set_interface(m_ctx, static_cast<ftdi_interface>(which)) : kNoContext;
}

int LibFtdiTransport::open(int vendor, int product)
{
    return m_initialised ? ftdi_usb_open(m_ctx, vendor, product) : kNoContext;
}

int LibFtdiTransport::openString(const char *description)
{
    return m_initialised ? ftdi_usb_open_string(m_ctx, description) : kNoContext;
}

int LibFtdiTransport::usbReset()
{
    return m_initialised ? ftdi_usb_reset(m_ctx) : kNoContext;
}

int LibFtdiTransport::purgeBuffers()
{
    // Deprecated in 1.5 (the tc* pair fixes its swapped directions), but a
    // purge of both directions is the same either way, and this is the call
    // that stand-ins for the library provide.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return m_initialised ? ftdi_usb_purge_buffers(m_ctx) : kNoContext;
#pragma GCC diagnostic pop
}

int LibFtdiTransport::getLatencyTimer(unsigned char *latency)
{
    return m_initialised ? ftdi_get_latency_timer(m_ctx, latency) : kNoContext;
}

int LibFtdiTransport::setLatencyTimer(unsigned char latency)
{
    return m_initialised ? ftdi_set_latency_timer(m_ctx, latency) : kNoContext;
}

int LibFtdiTransport::setBitmode(unsigned char pinMask, unsigned char mode)
{
    return m_initialised ? ftdi_set_bitmode(m_ctx, pinMask, mode) : kNoContext;
}

int LibFtdiTransport::disableBitbang()
{
    return m_initialised ? ftdi_disable_bitbang(m_ctx) : kNoContext;
}

int LibFtdiTransport::writeData(const unsigned char *data, int size)
{
    return m_initialised ? ftdi_write_data(m_ctx, data, size) : kNoContext;
}

int LibFtdiTransport::readData(unsigned char *data, int size)
{
    return m_initialised ? ftdi_read_data(m_ctx, data, size) : kNoContext;
}

int LibFtdiTransport::setBaudRate(int baud)
{
    return m_initialised ? ftdi_set_baudrate(m_ctx, baud) : kNoContext;
}

int LibFtdiTransport::setLineProperties(DataBits bits, StopBits stop, Parity parity)
{
    return m_initialised
               ? ftdi_set_line_property(m_ctx, static_cast<ftdi_bits_type>(bits), static_cast<ftdi_stopbits_type>(stop),
                                        static_cast<ftdi_parity_type>(parity))
               : kNoContext;
}

int LibFtdiTransport::close()
{
    return m_initialised ? ftdi_usb_close(m_ctx) : kNoContext;
}

const char *LibFtdiTransport::errorString()
{
    return m_initialised ? ftdi_get_error_string(m_ctx) : kNoContextText;
}

FtdiTransportFactory &ftdiTransportFactory()
{
    static FtdiTransportFactory factory = [] { return std::make_unique<LibFtdiTransport>(); };
    return factory;
}

std::unique_ptr<FtdiTransport> makeFtdiTransport()
{
    auto &factory = ftdiTransportFactory();
    return factory ? factory() : std::make_unique<LibFtdiTransport>();
}

bool ftdiTransportIsHardware()
{
    const auto probe = makeFtdiTransport();
    return dynamic_cast<LibFtdiTransport *>(probe.get()) != nullptr;
}
