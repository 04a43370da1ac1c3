#include "app/UsbProbe.h"

#include <QFileInfo>

#include <libusb.h>

namespace {

// One libusb context per call: detection runs once per start, and a context kept open would hold the USB
// file descriptors for the whole run.
class LibusbProbe : public UsbProbe
{
public:
    explicit LibusbProbe(QString sysfsRoot) : m_sysfsRoot(std::move(sysfsRoot)) {}

    bool listDevices(QList<Device> *devices) override
    {
        libusb_context *context = nullptr;
        if (libusb_init(&context) != 0)
            return false;
        libusb_device **list = nullptr;
        const ssize_t count = libusb_get_device_list(context, &list);
        for (ssize_t i = 0; i < count; ++i) {
            Device device;
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(list[i], &descriptor) != 0) {
                device.descriptorRead = false;
            } else {
                device.vendor = descriptor.idVendor;
                device.product = descriptor.idProduct;
            }
            device.sysfsName = sysfsName(list[i]);
            devices->append(device);
        }
        if (count >= 0)
            libusb_free_device_list(list, 1);
        libusb_exit(context);
        return true;
    }

    int tryOpen(const Device &wanted) override
    {
        libusb_context *context = nullptr;
        if (libusb_init(&context) != 0)
            return LIBUSB_ERROR_OTHER;
        int result = LIBUSB_ERROR_NO_DEVICE;
        libusb_device **list = nullptr;
        const ssize_t count = libusb_get_device_list(context, &list);
        for (ssize_t i = 0; i < count; ++i) {
            if (sysfsName(list[i]) != wanted.sysfsName)
                continue;
            libusb_device_handle *handle = nullptr;
            result = libusb_open(list[i], &handle);
            if (result == 0)
                libusb_close(handle);
            break;
        }
        if (count >= 0)
            libusb_free_device_list(list, 1);
        libusb_exit(context);
        return result;
    }

    QString boundDriver(const Device &device) override
    {
        if (device.sysfsName.isEmpty())
            return {};
        const QFileInfo link(m_sysfsRoot + QLatin1Char('/') + device.sysfsName + QStringLiteral(":1.0/driver"));
        if (!link.isSymLink())
            return {};
        return QFileInfo(link.symLinkTarget()).fileName();
    }

    QString errorName(int error) override { return QString::fromLatin1(libusb_error_name(error)); }

private:
    static QString sysfsName(libusb_device *device)
    {
        uint8_t ports[8];
        const int depth = libusb_get_port_numbers(device, ports, int(sizeof ports));
        if (depth <= 0)
            return {};
        QString name = QString::number(libusb_get_bus_number(device)) + QLatin1Char('-');
        for (int i = 0; i < depth; ++i)
            name += (i ? QStringLiteral(".") : QString()) + QString::number(ports[i]);
        return name;
    }

    QString m_sysfsRoot;
};

} // namespace

std::unique_ptr<UsbProbe> createLibusbProbe(const QString &sysfsRoot)
{
    return std::make_unique<LibusbProbe>(sysfsRoot);
}
