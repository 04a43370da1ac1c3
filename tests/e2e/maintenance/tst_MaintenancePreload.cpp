// The real LibFtdiTransport over libftdi1's interface, with the emulated unit
// preloaded in place of the library: a configuration write and read leave the
// same flash as the same jobs through the in-process emulator.
//
// This test links no firmware image and refuses to run unless the stand-in is
// loaded, so it never writes to a real bridge that happens to be plugged in.
#include "EmulatedFtdi.h"
#include "app/SettingsKeys.h"
#include "maintenance/FirmwareJobs.h"
#include "maintenance/LibFtdiTransport.h"
#include "maintenance/PrintSink.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kRecordAt = 0x1E0000;

QSettings settings()
{
    return QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A configuration read, a write of a static record with the stored key, and
// a read again; returns the fields the last read shows.
ConfigRecord::Fields writeAndRead(QStringList *log, std::function<void()> pause)
{
    FirmwareJobs::Hooks hooks;
    hooks.statusLine = [log](const QString &line) { *log << line; };
    hooks.pauseOneMs = std::move(pause);
    FirmwareJobs jobs(nullptr, hooks);
    ConfigRecord::Fields fields;
    jobs.readConfiguration(&fields);
    fields.dhcp = false;
    fields.address = "192.168.001.010";
    fields.mask = "255.255.255.000";
    fields.gateway = "192.168.1.1";
    fields.dns = "192.168.1.1";
    fields.keySource = ConfigRecord::KeySource::Application;
    jobs.startConfigWrite(fields);
    for (int i = 0; i < 20 && jobs.busy(); ++i) {
        PrintSink::takePending();
        jobs.tick();
    }
    ConfigRecord::Fields shown;
    jobs.readConfiguration(&shown);
    return shown;
}

// The flash without the record's timestamp, which differs between two runs.
QByteArray withoutTimestamp(QByteArray flash)
{
    UserConfiguration record;
    if (!ConfigRecord::decode(flash.mid(kRecordAt, 256), &record, nullptr))
        return flash;
    const int at = flash.indexOf(record.timestamp, kRecordAt);
    flash.replace(at, int(qstrlen(record.timestamp)), QByteArray(int(qstrlen(record.timestamp)), '#'));
    return flash;
}

} // namespace

class tst_MaintenancePreload : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        const QByteArray maps = readFile("/proc/self/maps");
        if (!maps.contains("vq6020-ftdi-preload"))
            QFAIL("the libftdi stand-in is not preloaded; refusing to open a real bridge");
        QVERIFY(ftdiTransportIsHardware());
        settings().clear();
        settings().setValue(SettingsKeys::kNetPsk, QByteArray("0123456789abcdef"));
    }

    void sameFlashAsInProcess()
    {
        const QString preloadFlash = qEnvironmentVariable("VQ6020_USBEMU_FLASH");
        QFile::remove(preloadFlash);
        QStringList preloadLog;
        const ConfigRecord::Fields viaLibftdi = writeAndRead(&preloadLog, {});
        QVERIFY2(preloadLog.contains("Verify pass"), qPrintable(preloadLog.join('\n')));
        QCOMPARE(viaLibftdi.address, QString("192.168.1.10"));
        QCOMPARE(viaLibftdi.mask, QString("255.255.255.0"));

        QTemporaryDir dir;
        EmulatedUnit::Options options;
        options.flashFile = dir.filePath("flash.bin").toStdString();
        auto unit = std::make_shared<EmulatedUnit>(options);
        ftdiTransportFactory() = emulatedFtdiFactory(unit);
        QStringList inProcessLog;
        const ConfigRecord::Fields inProcess = writeAndRead(&inProcessLog, unit->oneMsPause());
        QCOMPARE(inProcessLog, preloadLog);
        QCOMPARE(inProcess.address, viaLibftdi.address);

        const QByteArray a = readFile(preloadFlash);
        const QByteArray b = readFile(dir.filePath("flash.bin"));
        QCOMPARE(a.size(), 2 * 1024 * 1024);
        QVERIFY(withoutTimestamp(a) == withoutTimestamp(b));
    }
};

QTEST_GUILESS_MAIN(tst_MaintenancePreload)
#include "tst_MaintenancePreload.moc"
