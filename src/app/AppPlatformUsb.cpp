// USB detection of the unit's maintenance bridge on Linux.
#include "app/AppPlatform.h"
#include "app/UsbProbe.h"

#include <QDebug>

namespace {
constexpr quint16 kBridgeVendor = 0x0403;
constexpr quint16 kBridgeProduct = 0x6010;
} // namespace

AppPlatform::AppPlatform() = default;
AppPlatform::~AppPlatform() = default;

void AppPlatform::setUsbProbe(std::unique_ptr<UsbProbe> probe)
{
    m_usbProbe = std::move(probe);
}

QString AppPlatform::usbUnusableHint()
{
    return QStringLiteral("USB Device Detected, but this user may not open it.  Install the udev rule shipped with "
                          "the program (60-vq6020.rules) into /etc/udev/rules.d, then unplug the device and plug it "
                          "in again.");
}

AppPlatform::UsbPresence AppPlatform::detectUsbDevice()
{
    if (!m_usbProbe)
        m_usbProbe = createLibusbProbe();
    QList<UsbProbe::Device> devices;
    if (!m_usbProbe->listDevices(&devices)) {
        qWarning().noquote() << "Failed to libusb_init";
        return UsbNotPresent;
    }
    for (int i = 0; i < devices.size(); ++i) {
        const UsbProbe::Device &device = devices.at(i);
        if (!device.descriptorRead) {
            qWarning().noquote() << "Failed to get device descriptor for device number " + QString::number(i);
            return UsbNotPresent;
        }
        if (device.vendor != kBridgeVendor || device.product != kBridgeProduct)
            continue;
        // Linux binds its serial driver to the bridge; libftdi detaches it when it opens a channel, so the
        // name is only worth a log line.
        const QString driver = m_usbProbe->boundDriver(device);
        qInfo().noquote() << "Device service " + (driver.isEmpty() ? QStringLiteral("(none)") : driver);
        const int opened = m_usbProbe->tryOpen(device);
        if (opened == UsbProbe::kOpenOk)
            return UsbPresentUsable;
        if (opened == UsbProbe::kOpenAccessDenied) {
            qWarning().noquote()
                << QStringLiteral("USB device %1 is present, but this user may not open it").arg(device.sysfsName);
            return UsbPresentUnusable;
        }
        qWarning().noquote() << QStringLiteral("USB device %1 could not be opened: %2")
                                    .arg(device.sysfsName, m_usbProbe->errorName(opened));
        return UsbNotPresent;
    }
    return UsbNotPresent;
}
