#include "FtdiHandle.h"

#include "EmulatedUnit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t MaxRecorded = 64u * 1024 * 1024;
constexpr const char *Unavailable = "USB device unavailable";

std::string hex(unsigned value, int width)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", width, value);
    return text;
}

} // namespace

FtdiHandle::FtdiHandle(std::shared_ptr<EmulatedUnit> unit) : m_unit(std::move(unit)) {}

FtdiHandle::~FtdiHandle()
{
    if (m_open)
        close();
}

int FtdiHandle::fail(int code, const char *text)
{
    m_error = text;
    return code;
}

bool FtdiHandle::gone()
{
    return m_unit->unplugged();
}

std::string FtdiHandle::describe(const std::string &what) const
{
    return std::string(1, char('A' + m_channel)) + " " + what;
}

int FtdiHandle::chipType() const
{
    return m_unit->options().product == 0x6014 ? 6 : 4; // TYPE_232H : TYPE_2232H
}

int FtdiHandle::init()
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    if (!m_open) {
        m_interface = 0;
        m_channel = 0;
    }
    m_error = nullptr;
    m_unit->note(describe("init = 0"));
    return 0;
}

void FtdiHandle::deinit()
{
    if (m_open)
        close();
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    m_unit->note(describe("deinit"));
}

int FtdiHandle::setInterface(int which)
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (which < 0 || which > 4) {
        rc = fail(-1, "Unknown interface");
    } else if (m_open && std::max(which - 1, 0) != m_channel) {
        rc = fail(-3, "Interface can not be changed on an already open device");
    } else {
        m_interface = which;
        m_channel = std::max(which - 1, 0);
    }
    m_unit->note(describe("set_interface " + std::to_string(which) + " = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::open(int vendor, int product, const char *description, const char *serial, unsigned index)
{
    if (m_open)
        close();
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    const auto &o = m_unit->options();
    int rc = 0;
    const bool found = !m_unit->faults().absent && !gone() && vendor == o.vendor && product == o.product &&
                       (!description || o.description == description) && (!serial || o.serial == serial) && index == 0;
    const int channels = o.product == 0x6014 ? 1 : 2;
    if (!found) {
        rc = fail(-3, "device not found");
    } else if (m_channel >= channels || m_unit->channel(m_channel).claimed) {
        rc = fail(-5, "unable to claim usb device. Make sure the default FTDI driver is not in use");
    } else {
        // Opening resets the channel's serial engine and sets 9600 baud, as libftdi does.
        auto &c = m_unit->channel(m_channel);
        c.claimed = true;
        c.baud = 9600;
        c.mpsse->purgeReceived();
        c.mpsse->purgeCommands();
        c.uartReceive.clear();
        m_open = true;
    }
    m_unit->note(describe("usb_open " + hex(unsigned(vendor), 4) + ":" + hex(unsigned(product), 4) + " = " +
                          std::to_string(rc)));
    return rc;
}

int FtdiHandle::openString(const char *text)
{
    if (!text || std::strlen(text) < 2 || text[1] != ':')
        return fail(-11, "illegal description format");
    const auto &o = m_unit->options();
    if (text[0] == 'd') {
        char path[16];
        std::snprintf(path, sizeof path, "%03u/%03u", o.bus, o.address);
        if (std::strcmp(text + 2, path) != 0) {
            std::lock_guard<std::mutex> lock(m_unit->mutex());
            m_unit->note(describe(std::string("usb_open_string ") + text + " = -3"));
            return fail(-3, "device not found");
        }
        return open(o.vendor, o.product);
    }
    if (text[0] != 'i' && text[0] != 's')
        return fail(-11, "illegal description format");
    char *end = nullptr;
    const long vendor = std::strtol(text + 2, &end, 0);
    if (*end != ':')
        return fail(-11, "illegal description format");
    const long product = std::strtol(end + 1, &end, 0);
    if (text[0] == 'i') {
        unsigned index = 0;
        if (*end == ':')
            index = unsigned(std::strtoul(end + 1, &end, 0));
        if (*end != '\0')
            return fail(-11, "illegal description format");
        return open(int(vendor), int(product), nullptr, nullptr, index);
    }
    if (*end != ':')
        return fail(-11, "illegal description format");
    return open(int(vendor), int(product), nullptr, end + 1);
}

int FtdiHandle::openBusAddr(uint8_t bus, uint8_t address)
{
    const auto &o = m_unit->options();
    if (bus != o.bus || address != o.address)
        return fail(-3, "device not found");
    return open(o.vendor, o.product);
}

int FtdiHandle::usbReset()
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (!m_open) {
        rc = fail(-2, Unavailable);
    } else if (gone() || m_unit->faults().refuseReset) {
        rc = fail(-1, "FTDI reset failed");
    } else {
        auto &c = m_unit->channel(m_channel);
        c.mpsse->purgeReceived();
        c.mpsse->purgeCommands();
        c.uartReceive.clear();
    }
    m_unit->note(describe("usb_reset = " + std::to_string(rc)));
    return rc;
}

// 0, or -1 when the receive purge failed, -2 the transmit purge, -3 no device (libftdi's
// numbering for purging both; a single-direction purge maps these itself).
int FtdiHandle::purge(bool receive, bool transmit)
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (!m_open) {
        rc = fail(-3, Unavailable);
    } else if (gone() || m_unit->faults().refusePurge) {
        rc = receive ? fail(-1, "FTDI purge of RX buffer failed") : fail(-2, "FTDI purge of TX buffer failed");
    } else {
        auto &c = m_unit->channel(m_channel);
        if (receive) {
            c.mpsse->purgeReceived();
            c.uartReceive.clear();
        }
        if (transmit)
            c.mpsse->purgeCommands();
    }
    m_unit->note(
        describe(std::string("purge") + (receive ? " rx" : "") + (transmit ? " tx" : "") + " = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::purgeBuffers()
{
    return purge(true, true);
}

int FtdiHandle::getLatency(unsigned char *latency)
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (!m_open)
        rc = fail(-2, Unavailable);
    else if (gone() || m_unit->faults().refuseLatencyRead)
        rc = fail(-1, "reading latency timer failed");
    else
        *latency = m_unit->channel(m_channel).latency;
    m_unit->note(describe("get_latency_timer = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::setLatency(unsigned char latency)
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (latency < 1)
        rc = fail(-1, "latency out of range. Only valid for 1-255");
    else if (!m_open)
        rc = fail(-3, Unavailable);
    else if (gone() || m_unit->faults().refuseLatency)
        rc = fail(-2, "unable to set latency timer");
    else
        m_unit->channel(m_channel).latency = latency;
    m_unit->note(describe("set_latency_timer " + std::to_string(latency) + " = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::setBitmode(unsigned char mask, unsigned char mode)
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (!m_open) {
        rc = fail(-2, Unavailable);
    } else if (gone() || m_unit->faults().refuseBitmode) {
        rc = fail(-1, "unable to configure bitbang mode. Perhaps not a BM type chip?");
    } else {
        auto &c = m_unit->channel(m_channel);
        if (mode == 0x02 && c.bitmode != 0x02)
            c.mpsse->reset();
        c.bitmode = mode;
    }
    m_unit->note(describe("set_bitmode " + hex(mask, 2) + " " + hex(mode, 2) + " = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::disableBitbang()
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (!m_open)
        rc = fail(-2, Unavailable);
    else if (gone())
        rc = fail(-1, "unable to leave bitbang mode. Perhaps not a BM type chip?");
    else
        m_unit->channel(m_channel).bitmode = 0;
    m_unit->note(describe("disable_bitbang = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::write(const unsigned char *data, int size)
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (!m_open) {
        rc = fail(-666, Unavailable);
    } else if (gone()) {
        rc = fail(-1, "usb bulk write failed");
    } else {
        const UsbFaults &f = m_unit->faults();
        int n = std::max(size, 0);
        if (f.shortWrite >= 0)
            n = std::min(n, f.shortWrite);
        bool pulled = false;
        if (f.unplugAfter >= 0 && m_unit->bytesWritten() + n > f.unplugAfter) {
            n = int(std::max<int64_t>(0, f.unplugAfter - m_unit->bytesWritten()));
            pulled = true;
        }
        auto &c = m_unit->channel(m_channel);
        m_unit->countWritten(n);
        if (m_unit->recording() && c.written.size() + size_t(n) <= MaxRecorded)
            c.written.insert(c.written.end(), data, data + n);
        if (c.bitmode == 0x02)
            c.mpsse->write(data, size_t(n));
        else if (c.bitmode == 0x00 && m_channel == 1)
            c.uartSent.insert(c.uartSent.end(), data, data + n);
        if (pulled) {
            m_unit->unplug();
            rc = fail(-1, "usb bulk write failed");
        } else {
            rc = n;
            if (f.unplugAfter >= 0 && m_unit->bytesWritten() >= f.unplugAfter)
                m_unit->unplug(); // this write went through; the next call finds no bridge
        }
    }
    m_unit->note(describe("write " + std::to_string(size) + " = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::read(unsigned char *data, int size)
{
    int rc = 0;
    int64_t waitNs = 0;
    {
        std::lock_guard<std::mutex> lock(m_unit->mutex());
        const UsbFaults &f = m_unit->faults();
        if (!m_open) {
            rc = fail(-666, Unavailable);
        } else if (gone() || f.readError) {
            rc = fail(-1, "usb bulk read failed");
        } else if (size > 0) {
            auto &c = m_unit->channel(m_channel);
            const bool skip = f.stall || (f.zeroReadEvery > 0 && ++c.reads % f.zeroReadEvery == 0);
            const size_t want = size_t(f.readChunk > 0 ? std::min(size, f.readChunk) : size);
            size_t got = 0;
            if (!skip && c.bitmode == 0x02) {
                got = c.mpsse->read(data, want);
            } else if (!skip && c.bitmode == 0x00 && m_channel == 1) {
                got = std::min(want, c.uartReceive.size());
                std::copy_n(c.uartReceive.begin(), got, data);
                c.uartReceive.erase(c.uartReceive.begin(), c.uartReceive.begin() + std::ptrdiff_t(got));
            }
            rc = int(got);
            // With nothing to send the chip answers only when its latency timer runs out.
            if (got == 0)
                waitNs = int64_t(c.latency) * 1'000'000;
            else
                waitNs = int64_t(m_unit->options().readTurnaroundUs) * 1000;
        }
        m_unit->note(describe("read " + std::to_string(size) + " = " + std::to_string(rc)));
    }
    if (waitNs > 0)
        m_unit->clock().pause(waitNs);
    return rc;
}

int FtdiHandle::setBaudrate(int baud)
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (baud <= 0)
        rc = fail(-1, "Silly baudrate <= 0.");
    else if (!m_open)
        rc = fail(-3, Unavailable);
    else if (gone())
        rc = fail(-3, "Setting new baudrate failed");
    else
        m_unit->channel(m_channel).baud = baud;
    m_unit->note(describe("set_baudrate " + std::to_string(baud) + " = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::setLineProperty(int bits, int stop, int parity)
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (!m_open)
        rc = fail(-2, Unavailable);
    else if (gone())
        rc = fail(-1, "Setting new line property failed");
    if (rc == 0) {
        EmulatedUnit::Channel &c = m_unit->channel(m_channel);
        c.dataBits = bits;
        c.stopBits = stop;
        c.parity = parity;
    }
    m_unit->note(describe("set_line_property " + std::to_string(bits) + " " + std::to_string(stop) + " " +
                          std::to_string(parity) + " = " + std::to_string(rc)));
    return rc;
}

int FtdiHandle::close()
{
    std::lock_guard<std::mutex> lock(m_unit->mutex());
    int rc = 0;
    if (m_open) {
        m_unit->channel(m_channel).claimed = false;
        m_open = false;
        if (gone())
            rc = fail(-1, "usb_release failed");
    }
    m_unit->note(describe("usb_close = " + std::to_string(rc)));
    return rc;
}
