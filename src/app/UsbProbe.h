#pragma once

#include <QList>
#include <QString>

#include <memory>

// What USB detection needs from the system: the attached devices, the kernel driver bound to one of their
// interfaces, and whether this user may open one. The real one asks libusb and sysfs; tests script it.
class UsbProbe
{
public:
    struct Device {
        bool descriptorRead = true; // false: the device's descriptor could not be read
        quint16 vendor = 0;
        quint16 product = 0;
        QString sysfsName; // "<bus>-<port>[.<port>...]", as in /sys/bus/usb/devices
    };

    // libusb's error numbers where they matter to the caller.
    static constexpr int kOpenOk = 0;
    static constexpr int kOpenAccessDenied = -3; // LIBUSB_ERROR_ACCESS

    virtual ~UsbProbe() = default;
    // False when the USB library could not start; the devices otherwise, in the system's order.
    virtual bool listDevices(QList<Device> *devices) = 0;
    // Opens and closes the device at once; kOpenOk, or a libusb error number.
    virtual int tryOpen(const Device &device) = 0;
    // The name of the kernel driver bound to interface 0 of the first configuration; empty when none.
    virtual QString boundDriver(const Device &device) = 0;
    // The library's name for an error number, for log lines.
    virtual QString errorName(int error) = 0;
};

std::unique_ptr<UsbProbe> createLibusbProbe(const QString &sysfsRoot = QStringLiteral("/sys/bus/usb/devices"));
