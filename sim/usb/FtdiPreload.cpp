// A stand-in for libftdi1 that serves the emulated unit instead of a USB bridge. Loaded
// with LD_PRELOAD, its ftdi_* functions take the place of the real library's, so our
// LibFtdiTransport and third-party tools run unchanged against the emulated FTDI
// bridge, ECP5 and SPI flash. Set-up comes from VQ6020_USBEMU_* (see UnitEnvironment.h).
//
// This file implements the library's interface, so it is the one that includes its
// header: the context structure must have the caller's layout to the byte.
#include "EmulatedUnit.h"
#include "FtdiHandle.h"
#include "UnitConsole.h"
#include "UnitEnvironment.h"

#include <algorithm>
#include <cstdio>
#include <dlfcn.h>
#include <cstdlib>
#include <cstring>
#include <ftdi.h>
#include <libusb.h>
#include <map>
#include <memory>
#include <mutex>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The libusb device and handle of the emulated bridge as callers see them: addresses that
// are only ever compared (callers hand them to the libusb functions below).
char g_deviceToken;
char g_handleToken;
libusb_device *const EmulatedDevice = reinterpret_cast<libusb_device *>(&g_deviceToken);
libusb_device_handle *const EmulatedHandle = reinterpret_cast<libusb_device_handle *>(&g_handleToken);

struct Registry {
    std::mutex mutex;
    std::shared_ptr<EmulatedUnit> unit;
    std::unique_ptr<UnitConsole> console; // prints the boot banner on channel B after each restart
    std::map<ftdi_context *, std::unique_ptr<FtdiHandle>> handles;
    std::string tracePath;
};

void writeTrace();

Registry &registry()
{
    static Registry *r = [] {
        auto *reg = new Registry; // lives until exit, after every static destructor that may call us
        std::string problems;
        EmulatedUnit::Options options = unitOptionsFromEnvironment(&problems);
        if (!problems.empty())
            std::fprintf(stderr, "vq6020 ftdi emulation: %s\n", problems.c_str());
        reg->unit = std::make_shared<EmulatedUnit>(options);
        if (!reg->unit->flash().fileError().empty())
            std::fprintf(stderr, "vq6020 ftdi emulation: flash file %s\n", reg->unit->flash().fileError().c_str());
        reg->console = std::make_unique<UnitConsole>(reg->unit);
        if (const char *t = std::getenv("VQ6020_USBEMU_TRACE"))
            reg->tracePath = t;
        std::atexit(writeTrace);
        return reg;
    }();
    return *r;
}

void writeTrace()
{
    Registry &r = registry();
    if (r.tracePath.empty())
        return;
    if (FILE *f = std::fopen(r.tracePath.c_str(), "w")) {
        for (const std::string &line : r.unit->calls())
            std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
    for (int c = 0; c < 2; ++c) {
        const std::vector<uint8_t> bytes = r.unit->written(c);
        if (FILE *f = std::fopen((r.tracePath + (c ? ".b" : ".a")).c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }
}

FtdiHandle *handle(ftdi_context *ftdi)
{
    if (!ftdi)
        return nullptr;
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto &h = r.handles[ftdi];
    if (!h)
        h = std::make_unique<FtdiHandle>(r.unit);
    return h.get();
}

// Mirrors the handle into the fields callers read directly.
int sync(ftdi_context *ftdi, FtdiHandle *h, int rc)
{
    ftdi->error_str = h->errorString();
    if (h->isOpen()) {
        ftdi->type = ftdi_chip_type(h->chipType());
        ftdi->max_packet_size = 512;
        ftdi->usb_dev = EmulatedHandle;
    } else {
        ftdi->usb_dev = nullptr;
    }
    return rc;
}

void setInterfaceFields(ftdi_context *ftdi, int which)
{
    const int n = which <= 1 ? 0 : which - 1;
    ftdi->interface = n;
    ftdi->index = n + 1;
    ftdi->in_ep = 0x02 + 2 * n;
    ftdi->out_ep = 0x81 + 2 * n;
}

} // namespace

EXPORT int ftdi_init(ftdi_context *ftdi)
{
    if (!ftdi)
        return -3;
    std::memset(ftdi, 0, sizeof *ftdi);
    ftdi->usb_read_timeout = 5000;
    ftdi->usb_write_timeout = 5000;
    ftdi->type = TYPE_BM;
    ftdi->baudrate = -1;
    ftdi->readbuffer_chunksize = 4096;
    ftdi->writebuffer_chunksize = 4096;
    ftdi->bitbang_mode = 1;
    ftdi->module_detach_mode = AUTO_DETACH_SIO_MODULE;
    setInterfaceFields(ftdi, INTERFACE_ANY);
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->init());
}

EXPORT ftdi_context *ftdi_new(void)
{
    auto *ftdi = static_cast<ftdi_context *>(std::calloc(1, sizeof(ftdi_context)));
    if (ftdi && ftdi_init(ftdi) != 0) {
        std::free(ftdi);
        return nullptr;
    }
    return ftdi;
}

EXPORT void ftdi_deinit(ftdi_context *ftdi)
{
    if (!ftdi)
        return;
    Registry &r = registry();
    std::unique_ptr<FtdiHandle> h;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.handles.find(ftdi);
        if (it == r.handles.end())
            return;
        h = std::move(it->second);
        r.handles.erase(it);
    }
    h->deinit();
    ftdi->usb_dev = nullptr;
    ftdi->error_str = nullptr;
}

EXPORT void ftdi_free(ftdi_context *ftdi)
{
    ftdi_deinit(ftdi);
    std::free(ftdi);
}

EXPORT int ftdi_set_interface(ftdi_context *ftdi, enum ftdi_interface interface)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    const int rc = h->setInterface(int(interface));
    if (rc == 0)
        setInterfaceFields(ftdi, int(interface));
    return sync(ftdi, h, rc);
}

EXPORT struct ftdi_version_info ftdi_get_library_version(void)
{
    return ftdi_version_info{1, 5, 0, "1.5", "vq6020-emulation"};
}

EXPORT int ftdi_usb_open_desc_index(ftdi_context *ftdi, int vendor, int product, const char *description,
                                    const char *serial, unsigned int index)
{
    if (!ftdi)
        return -11;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->open(vendor, product, description, serial, index));
}

EXPORT int ftdi_usb_open_desc(ftdi_context *ftdi, int vendor, int product, const char *description, const char *serial)
{
    return ftdi_usb_open_desc_index(ftdi, vendor, product, description, serial, 0);
}

EXPORT int ftdi_usb_open(ftdi_context *ftdi, int vendor, int product)
{
    return ftdi_usb_open_desc_index(ftdi, vendor, product, nullptr, nullptr, 0);
}

EXPORT int ftdi_usb_open_string(ftdi_context *ftdi, const char *description)
{
    if (!ftdi)
        return -12;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->openString(description));
}

EXPORT int ftdi_usb_open_bus_addr(ftdi_context *ftdi, uint8_t bus, uint8_t addr)
{
    if (!ftdi)
        return -11;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->openBusAddr(bus, addr));
}

EXPORT int ftdi_usb_open_dev(ftdi_context *ftdi, struct libusb_device *dev)
{
    if (!ftdi)
        return -8;
    FtdiHandle *h = handle(ftdi);
    if (dev != EmulatedDevice) {
        ftdi->error_str = "device not found";
        return -3;
    }
    const auto &o = registry().unit->options();
    return sync(ftdi, h, h->open(o.vendor, o.product));
}

EXPORT int ftdi_usb_find_all(ftdi_context *ftdi, struct ftdi_device_list **devlist, int vendor, int product)
{
    if (!ftdi || !devlist)
        return -1;
    *devlist = nullptr;
    const EmulatedUnit &unit = *registry().unit;
    const auto &o = unit.options();
    const bool defaults = vendor == 0 && product == 0; // libftdi then looks for every FTDI id it knows
    const bool match = defaults ? o.vendor == 0x0403 : (vendor == o.vendor && product == o.product);
    if (!match || registry().unit->faults().absent || registry().unit->unplugged())
        return 0;
    auto *node = static_cast<ftdi_device_list *>(std::calloc(1, sizeof(ftdi_device_list)));
    if (!node)
        return -3;
    node->dev = EmulatedDevice;
    *devlist = node;
    return 1;
}

EXPORT void ftdi_list_free(struct ftdi_device_list **devlist)
{
    if (!devlist)
        return;
    for (ftdi_device_list *n = *devlist; n;) {
        ftdi_device_list *next = n->next;
        std::free(n);
        n = next;
    }
    *devlist = nullptr;
}

EXPORT void ftdi_list_free2(struct ftdi_device_list *devlist)
{
    ftdi_list_free(&devlist);
}

EXPORT int ftdi_usb_get_strings2(ftdi_context *ftdi, struct libusb_device *dev, char *manufacturer, int mnf_len,
                                 char *description, int desc_len, char *serial, int serial_len)
{
    if (!ftdi || !dev)
        return -1;
    if (dev != EmulatedDevice)
        return -4;
    const auto &o = registry().unit->options();
    auto put = [](char *to, int len, const std::string &text) {
        if (to && len > 0)
            std::snprintf(to, size_t(len), "%s", text.c_str());
    };
    put(manufacturer, mnf_len, o.manufacturer);
    put(description, desc_len, o.description);
    put(serial, serial_len, o.serial);
    return 0;
}

EXPORT int ftdi_usb_get_strings(ftdi_context *ftdi, struct libusb_device *dev, char *manufacturer, int mnf_len,
                                char *description, int desc_len, char *serial, int serial_len)
{
    return ftdi_usb_get_strings2(ftdi, dev, manufacturer, mnf_len, description, desc_len, serial, serial_len);
}

EXPORT int ftdi_usb_close(ftdi_context *ftdi)
{
    if (!ftdi)
        return -3;
    FtdiHandle *h = handle(ftdi);
    const int rc = h->close();
    ftdi->usb_dev = nullptr;
    return sync(ftdi, h, rc);
}

EXPORT int ftdi_usb_reset(ftdi_context *ftdi)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->usbReset());
}

EXPORT int ftdi_tcioflush(ftdi_context *ftdi)
{
    if (!ftdi)
        return -3;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->purge(true, true));
}

EXPORT int ftdi_usb_purge_buffers(ftdi_context *ftdi)
{
    return ftdi_tcioflush(ftdi);
}

// A single-direction purge numbers its failures -1 (refused) and -2 (no device).
EXPORT int ftdi_tciflush(ftdi_context *ftdi)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    const int rc = h->purge(true, false);
    return sync(ftdi, h, rc == -3 ? -2 : rc);
}

EXPORT int ftdi_tcoflush(ftdi_context *ftdi)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    const int rc = h->purge(false, true);
    return sync(ftdi, h, rc == -3 ? -2 : (rc < 0 ? -1 : rc));
}

EXPORT int ftdi_usb_purge_rx_buffer(ftdi_context *ftdi)
{
    return ftdi_tciflush(ftdi);
}

EXPORT int ftdi_usb_purge_tx_buffer(ftdi_context *ftdi)
{
    return ftdi_tcoflush(ftdi);
}

EXPORT int ftdi_set_baudrate(ftdi_context *ftdi, int baudrate)
{
    if (!ftdi)
        return -3;
    FtdiHandle *h = handle(ftdi);
    const int rc = h->setBaudrate(baudrate);
    if (rc == 0)
        ftdi->baudrate = baudrate;
    return sync(ftdi, h, rc);
}

EXPORT int ftdi_set_line_property2(ftdi_context *ftdi, enum ftdi_bits_type bits, enum ftdi_stopbits_type sbit,
                                   enum ftdi_parity_type parity, enum ftdi_break_type)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->setLineProperty(int(bits), int(sbit), int(parity)));
}

EXPORT int ftdi_set_line_property(ftdi_context *ftdi, enum ftdi_bits_type bits, enum ftdi_stopbits_type sbit,
                                  enum ftdi_parity_type parity)
{
    return ftdi_set_line_property2(ftdi, bits, sbit, parity, BREAK_OFF);
}

EXPORT int ftdi_read_data(ftdi_context *ftdi, unsigned char *buf, int size)
{
    if (!ftdi)
        return -666;
    FtdiHandle *h = handle(ftdi);
    // The unit prints its banner once it restarted; a host reading the console then finds it waiting.
    if (h->isOpen() && h->channel() == 1)
        registry().console->pump();
    return sync(ftdi, h, h->read(buf, size));
}

EXPORT int ftdi_write_data(ftdi_context *ftdi, const unsigned char *buf, int size)
{
    if (!ftdi)
        return -666;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->write(buf, size));
}

EXPORT int ftdi_read_data_set_chunksize(ftdi_context *ftdi, unsigned int chunksize)
{
    if (!ftdi)
        return -1;
    ftdi->readbuffer_chunksize = chunksize;
    return 0;
}

EXPORT int ftdi_read_data_get_chunksize(ftdi_context *ftdi, unsigned int *chunksize)
{
    if (!ftdi)
        return -1;
    *chunksize = ftdi->readbuffer_chunksize;
    return 0;
}

EXPORT int ftdi_write_data_set_chunksize(ftdi_context *ftdi, unsigned int chunksize)
{
    if (!ftdi)
        return -1;
    ftdi->writebuffer_chunksize = chunksize;
    return 0;
}

EXPORT int ftdi_write_data_get_chunksize(ftdi_context *ftdi, unsigned int *chunksize)
{
    if (!ftdi)
        return -1;
    *chunksize = ftdi->writebuffer_chunksize;
    return 0;
}

EXPORT int ftdi_set_bitmode(ftdi_context *ftdi, unsigned char bitmask, unsigned char mode)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    const int rc = h->setBitmode(bitmask, mode);
    if (rc == 0) {
        ftdi->bitbang_mode = mode;
        ftdi->bitbang_enabled = mode == BITMODE_RESET ? 0 : 1;
    }
    return sync(ftdi, h, rc);
}

EXPORT int ftdi_disable_bitbang(ftdi_context *ftdi)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    const int rc = h->disableBitbang();
    if (rc == 0)
        ftdi->bitbang_enabled = 0;
    return sync(ftdi, h, rc);
}

EXPORT int ftdi_read_pins(ftdi_context *ftdi, unsigned char *pins)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    if (!h->isOpen()) {
        ftdi->error_str = "USB device unavailable";
        return -2;
    }
    EmulatedUnit &unit = *registry().unit;
    std::lock_guard<std::mutex> lock(unit.mutex());
    const MpsseEngine &m = *unit.channel(h->channel()).mpsse;
    *pins = uint8_t((m.lowValue() & m.lowDirection()) | ~m.lowDirection());
    return 0;
}

EXPORT int ftdi_set_latency_timer(ftdi_context *ftdi, unsigned char latency)
{
    if (!ftdi)
        return -3;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->setLatency(latency));
}

EXPORT int ftdi_get_latency_timer(ftdi_context *ftdi, unsigned char *latency)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    return sync(ftdi, h, h->getLatency(latency));
}

EXPORT int ftdi_poll_modem_status(ftdi_context *ftdi, unsigned short *status)
{
    if (!ftdi)
        return -2;
    FtdiHandle *h = handle(ftdi);
    if (!h->isOpen()) {
        ftdi->error_str = "USB device unavailable";
        return -2;
    }
    *status = 0x6001; // transmitter empty, holding register empty; the reserved bit libftdi reports
    return 0;
}

// Serial-port controls that change nothing the emulation models; they succeed on an open
// channel as they do on the chip.
namespace {
int openOnly(ftdi_context *ftdi, int unavailable)
{
    if (!ftdi)
        return unavailable;
    FtdiHandle *h = handle(ftdi);
    if (!h->isOpen() || registry().unit->unplugged()) {
        ftdi->error_str = "USB device unavailable";
        return unavailable;
    }
    return 0;
}
} // namespace

EXPORT int ftdi_setflowctrl(ftdi_context *ftdi, int)
{
    return openOnly(ftdi, -2);
}

EXPORT int ftdi_setflowctrl_xonxoff(ftdi_context *ftdi, unsigned char, unsigned char)
{
    return openOnly(ftdi, -2);
}

EXPORT int ftdi_setdtr_rts(ftdi_context *ftdi, int, int)
{
    return openOnly(ftdi, -2);
}

EXPORT int ftdi_setdtr(ftdi_context *ftdi, int)
{
    return openOnly(ftdi, -2);
}

EXPORT int ftdi_setrts(ftdi_context *ftdi, int)
{
    return openOnly(ftdi, -2);
}

EXPORT int ftdi_set_event_char(ftdi_context *ftdi, unsigned char, unsigned char)
{
    return openOnly(ftdi, -2);
}

EXPORT int ftdi_set_error_char(ftdi_context *ftdi, unsigned char, unsigned char)
{
    return openOnly(ftdi, -2);
}

EXPORT const char *ftdi_get_error_string(ftdi_context *ftdi)
{
    return ftdi ? ftdi->error_str : nullptr;
}

// Tools also ask libusb about the device behind a libftdi context (bus, address, strings).
// Questions about the emulated bridge are answered here; every other device goes on to
// the real libusb.
namespace {
template <typename F> F realLibusb(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

EXPORT libusb_device *libusb_get_device(libusb_device_handle *handle)
{
    if (handle == EmulatedHandle)
        return EmulatedDevice;
    auto real = realLibusb<libusb_device *(*)(libusb_device_handle *)>("libusb_get_device");
    return real ? real(handle) : nullptr;
}

EXPORT uint8_t libusb_get_bus_number(libusb_device *dev)
{
    if (dev == EmulatedDevice)
        return registry().unit->options().bus;
    auto real = realLibusb<uint8_t (*)(libusb_device *)>("libusb_get_bus_number");
    return real ? real(dev) : 0;
}

EXPORT uint8_t libusb_get_device_address(libusb_device *dev)
{
    if (dev == EmulatedDevice)
        return registry().unit->options().address;
    auto real = realLibusb<uint8_t (*)(libusb_device *)>("libusb_get_device_address");
    return real ? real(dev) : 0;
}

EXPORT int libusb_get_port_numbers(libusb_device *dev, uint8_t *ports, int length)
{
    if (dev == EmulatedDevice) {
        if (length < 1)
            return LIBUSB_ERROR_OVERFLOW;
        ports[0] = 1;
        return 1;
    }
    auto real = realLibusb<int (*)(libusb_device *, uint8_t *, int)>("libusb_get_port_numbers");
    return real ? real(dev, ports, length) : LIBUSB_ERROR_NOT_SUPPORTED;
}

EXPORT int libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc)
{
    if (dev == EmulatedDevice) {
        const auto &o = registry().unit->options();
        std::memset(desc, 0, sizeof *desc);
        desc->bLength = LIBUSB_DT_DEVICE_SIZE;
        desc->bDescriptorType = LIBUSB_DT_DEVICE;
        desc->bcdUSB = 0x0200;
        desc->bMaxPacketSize0 = 64;
        desc->idVendor = o.vendor;
        desc->idProduct = o.product;
        desc->bcdDevice = o.product == 0x6014 ? 0x0900 : 0x0700;
        desc->iManufacturer = 1;
        desc->iProduct = 2;
        desc->iSerialNumber = 3;
        desc->bNumConfigurations = 1;
        return 0;
    }
    auto real = realLibusb<int (*)(libusb_device *, libusb_device_descriptor *)>("libusb_get_device_descriptor");
    return real ? real(dev, desc) : LIBUSB_ERROR_NOT_SUPPORTED;
}

EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index, unsigned char *data,
                                              int length)
{
    if (handle == EmulatedHandle) {
        const auto &o = registry().unit->options();
        const std::string *text = index == 1   ? &o.manufacturer
                                  : index == 2 ? &o.description
                                  : index == 3 ? &o.serial
                                               : nullptr;
        if (!text)
            return LIBUSB_ERROR_INVALID_PARAM;
        const int n = std::min<int>(length - 1, int(text->size()));
        if (n < 0)
            return LIBUSB_ERROR_OVERFLOW;
        std::memcpy(data, text->data(), size_t(n));
        data[n] = 0;
        return n;
    }
    auto real = realLibusb<int (*)(libusb_device_handle *, uint8_t, unsigned char *, int)>(
        "libusb_get_string_descriptor_ascii");
    return real ? real(handle, index, data, length) : LIBUSB_ERROR_NOT_SUPPORTED;
}

EXPORT int libusb_release_interface(libusb_device_handle *handle, int interface)
{
    if (handle == EmulatedHandle)
        return 0;
    auto real = realLibusb<int (*)(libusb_device_handle *, int)>("libusb_release_interface");
    return real ? real(handle, interface) : LIBUSB_ERROR_NOT_SUPPORTED;
}

EXPORT void libusb_close(libusb_device_handle *handle)
{
    if (handle == EmulatedHandle)
        return;
    if (auto real = realLibusb<void (*)(libusb_device_handle *)>("libusb_close"))
        real(handle);
}

// Presence checks list the bus and open the bridge once: the emulated bridge is added to the real bus, so a
// program sees it exactly as it would see the unit plugged in (and nothing when the bridge is "absent" or pulled).
namespace {
int g_contextToken = 0;
libusb_context *const EmulatedOnlyContext = reinterpret_cast<libusb_context *>(&g_contextToken);

bool bridgeAttached()
{
    const auto &unit = registry().unit;
    return !unit->faults().absent && !unit->unplugged();
}
} // namespace

EXPORT int libusb_init(libusb_context **context)
{
    auto real = realLibusb<int (*)(libusb_context **)>("libusb_init");
    const int rc = real ? real(context) : LIBUSB_ERROR_NOT_SUPPORTED;
    // Without a USB stack (a container) the emulated bridge is still there to be found.
    if (rc != 0 && context) {
        *context = EmulatedOnlyContext;
        return 0;
    }
    return rc;
}

EXPORT void libusb_exit(libusb_context *context)
{
    if (context == EmulatedOnlyContext)
        return;
    if (auto real = realLibusb<void (*)(libusb_context *)>("libusb_exit"))
        real(context);
}

EXPORT ssize_t libusb_get_device_list(libusb_context *context, libusb_device ***list)
{
    libusb_device **realList = nullptr;
    ssize_t realCount = 0;
    if (context != EmulatedOnlyContext) {
        auto real = realLibusb<ssize_t (*)(libusb_context *, libusb_device ***)>("libusb_get_device_list");
        realCount = real ? real(context, &realList) : 0;
        if (realCount < 0)
            return realCount;
    }
    const ssize_t count = realCount + (bridgeAttached() ? 1 : 0);
    auto **out = static_cast<libusb_device **>(std::calloc(size_t(count) + 1, sizeof(libusb_device *)));
    if (!out)
        return LIBUSB_ERROR_NO_MEM;
    for (ssize_t i = 0; i < realCount; ++i)
        out[i] = realList[i];
    if (count > realCount)
        out[realCount] = EmulatedDevice;
    // The real devices keep the reference their list gave them; ours frees them.
    if (realList) {
        if (auto free = realLibusb<void (*)(libusb_device **, int)>("libusb_free_device_list"))
            free(realList, 0);
    }
    *list = out;
    return count;
}

EXPORT void libusb_free_device_list(libusb_device **list, int unrefDevices)
{
    if (!list)
        return;
    auto unref = realLibusb<void (*)(libusb_device *)>("libusb_unref_device");
    for (libusb_device **d = list; *d; ++d) {
        if (*d != EmulatedDevice && unrefDevices && unref)
            unref(*d);
    }
    std::free(list);
}

EXPORT void libusb_unref_device(libusb_device *dev)
{
    if (dev == EmulatedDevice)
        return;
    if (auto real = realLibusb<void (*)(libusb_device *)>("libusb_unref_device"))
        real(dev);
}

EXPORT libusb_device *libusb_ref_device(libusb_device *dev)
{
    if (dev == EmulatedDevice)
        return dev;
    auto real = realLibusb<libusb_device *(*)(libusb_device *)>("libusb_ref_device");
    return real ? real(dev) : dev;
}

EXPORT int libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    if (dev == EmulatedDevice) {
        if (!bridgeAttached())
            return LIBUSB_ERROR_NO_DEVICE;
        *handle = EmulatedHandle;
        return 0;
    }
    auto real = realLibusb<int (*)(libusb_device *, libusb_device_handle **)>("libusb_open");
    return real ? real(dev, handle) : LIBUSB_ERROR_NOT_SUPPORTED;
}
