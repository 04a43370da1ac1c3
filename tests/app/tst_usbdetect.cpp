// Detection of the unit's USB bridge: what each combination of attached devices, descriptor errors and open
// results means, and what the real libusb layer says on this machine.
#include "app/AppPlatform.h"
#include "app/UsbProbe.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(UsbProbe::Device)

namespace {
struct ScriptedProbe : UsbProbe {
    bool started = true;
    QList<Device> devices;
    int openResult = kOpenOk;
    QString driver;
    int opens = 0;

    bool listDevices(QList<Device> *out) override
    {
        *out = devices;
        return started;
    }
    int tryOpen(const Device &) override
    {
        ++opens;
        return openResult;
    }
    QString boundDriver(const Device &) override { return driver; }
    QString errorName(int error) override { return QStringLiteral("ERROR_%1").arg(-error); }
};

UsbProbe::Device device(quint16 vendor, quint16 product, bool descriptorRead = true)
{
    UsbProbe::Device d;
    d.vendor = vendor;
    d.product = product;
    d.descriptorRead = descriptorRead;
    d.sysfsName = QStringLiteral("1-2");
    return d;
}
} // namespace

class tst_usbdetect : public QObject
{
    Q_OBJECT
private slots:
    void detect_data();
    void detect();
    void realLayerOnThisMachine();
    void driverNameFromSysfs();
    void emulatedBridge_data();
    void emulatedBridge();
};

void tst_usbdetect::detect_data()
{
    QTest::addColumn<bool>("started");
    QTest::addColumn<QList<UsbProbe::Device>>("devices");
    QTest::addColumn<int>("openResult");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("logLine");

    const auto bridge = device(0x0403, 0x6010);
    QTest::newRow("usb library fails") << false << QList<UsbProbe::Device>{bridge} << 0 << 0 << "Failed to libusb_init";
    QTest::newRow("nothing attached") << true << QList<UsbProbe::Device>{} << 0 << 0 << "";
    QTest::newRow("other ftdi product only")
        << true << QList<UsbProbe::Device>{device(0x0403, 0x6001), device(0x0403, 0x6014)} << 0 << 0 << "";
    QTest::newRow("bridge, usable") << true << QList<UsbProbe::Device>{device(0x1d6b, 2), bridge} << 0 << 2
                                    << "Device service ftdi_sio";
    QTest::newRow("bridge, no permission") << true << QList<UsbProbe::Device>{bridge} << -3 << 1 << "may not open it";
    QTest::newRow("bridge, open fails otherwise")
        << true << QList<UsbProbe::Device>{bridge} << -4 << 0 << "could not be opened: ERROR_4";
    QTest::newRow("unreadable descriptor stops the scan")
        << true << QList<UsbProbe::Device>{device(0, 0, false), bridge} << 0 << 0
        << "Failed to get device descriptor for device number 0";
}

void tst_usbdetect::detect()
{
    QFETCH(bool, started);
    QFETCH(QList<UsbProbe::Device>, devices);
    QFETCH(int, openResult);
    QFETCH(int, expected);
    QFETCH(QString, logLine);

    auto probe = std::make_unique<ScriptedProbe>();
    probe->started = started;
    probe->devices = devices;
    probe->openResult = openResult;
    probe->driver = QStringLiteral("ftdi_sio");
    LogCapture log;
    AppPlatform::instance().setUsbProbe(std::move(probe));
    QCOMPARE(int(AppPlatform::instance().detectUsbDevice()), expected);
    if (!logLine.isEmpty())
        QVERIFY2(log.contains(logLine), qPrintable(log.lines().join(QLatin1Char(10))));
    AppPlatform::instance().setUsbProbe(nullptr);
}

void tst_usbdetect::realLayerOnThisMachine()
{
    // No machine this runs on has the unit attached; the libusb layer must say so however the USB stack looks
    // (no /dev/bus/usb at all in a container).
    AppPlatform::instance().setUsbProbe(nullptr);
    QCOMPARE(AppPlatform::instance().detectUsbDevice(), AppPlatform::UsbNotPresent);
}

void tst_usbdetect::driverNameFromSysfs()
{
    QTemporaryDir sysfs;
    QVERIFY(QDir(sysfs.path()).mkpath(QStringLiteral("drivers/ftdi_sio")));
    QVERIFY(QDir(sysfs.path()).mkpath(QStringLiteral("devices/1-2:1.0")));
    QVERIFY(QFile::link(sysfs.path() + QStringLiteral("/drivers/ftdi_sio"),
                        sysfs.path() + QStringLiteral("/devices/1-2:1.0/driver")));
    auto probe = createLibusbProbe(sysfs.path() + QStringLiteral("/devices"));
    QCOMPARE(probe->boundDriver(device(0x0403, 0x6010)), QStringLiteral("ftdi_sio"));
    UsbProbe::Device unbound = device(0x0403, 0x6010);
    unbound.sysfsName = QStringLiteral("3-1.4");
    QCOMPARE(probe->boundDriver(unbound), QString());
}

void tst_usbdetect::emulatedBridge_data()
{
    QTest::addColumn<QString>("faults");
    QTest::addColumn<int>("expected");
    QTest::newRow("plugged in") << "" << int(AppPlatform::UsbPresentUsable);
    QTest::newRow("absent") << "absent" << int(AppPlatform::UsbNotPresent);
}

// The real libusb layer in a process running with the emulated bridge in place of the USB stack (as the demo
// runs the client): the bridge is found and opened like a unit on the cable.
void tst_usbdetect::emulatedBridge()
{
    QFETCH(QString, faults);
    QFETCH(int, expected);
    if (qEnvironmentVariableIsSet("VQ_USBDETECT_CHILD")) {
        AppPlatform::instance().setUsbProbe(nullptr);
        QCOMPARE(int(AppPlatform::instance().detectUsbDevice()), expected);
        return;
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VQ_USBDETECT_CHILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(VQ6020_FTDI_PRELOAD));
    env.insert(QStringLiteral("VQ6020_USBEMU_FAULTS"), faults);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("emulatedBridge:") + QString::fromLatin1(QTest::currentDataTag())});
    QVERIFY(child.waitForFinished(20000));
    QVERIFY2(child.exitCode() == 0, child.readAll().constData());
}

QTEST_GUILESS_MAIN(tst_usbdetect)
#include "tst_usbdetect.moc"
