// The maintenance jobs end to end against the emulated unit in virtual time:
// the status log line by line, and the flash checked by tools outside our code
// (openssl for the images, cmp, python's zlib, protoc for the record).
#include "JobRunner.h"
#include "Openssl.h"
#include "Protoc.h"
#include "TestImages.h"
#include "app/SettingsKeys.h"
#include "maintenance/Blobs.h"
#include "maintenance/ConfigRecord.h"

#include <QProcess>
#include <QSettings>
#include <QtTest>

using Step = FirmwareJobs::UpdateStep;
using KeySource = ConfigRecord::KeySource;

namespace {

constexpr int kImageSize = 0x180000;
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

// What the configuration sector and the rest of the flash hold before a job:
// a record of another client and bytes that must survive an update.
QByteArray otherRecord()
{
    bool ok = false;
    return Protoc::encodeDelimited("timestamp: \"before\" dhcp {} psk: \"AAAAbbbbCCCCdddd\"", &ok);
}

// The status log of a whole update of the test images.
QStringList updateLog()
{
    QStringList log{"JTAG: Initialize interface", "JTAG: IDCODE 0x41111043", "JTAG: Putting device into reset",
                    "JTAG: Flash JEDEC ID EF 40 15", "Starting flash erase of size 0x00180000"};
    for (int sector = 0; sector < 24; ++sector)
        log << QString::asprintf("erase 64kB sector at 0x%06X..", sector * 0x10000);
    log << "JTAG: Erase Done."
        << "JTAG: Program Start.";
    for (int sector = 0; sector < 24; ++sector)
        log << QStringLiteral("JTAG: Program %1% %2/%3.")
                   .arg(int(sector * 0x10000 * 100.0 / kImageSize))
                   .arg(sector * 0x10000, 8, 16, QLatin1Char(' '))
                   .arg(kImageSize, 8, 16, QLatin1Char(' '));
    log << "JTAG: Program Done."
        << "JTAG: Verify Start."
        << "JTAG: Readback done (1572864 of 1572864 bytes read)"
        << "JTAG: Flash Verify PASS."
        << "JTAG: Issue Device Refresh";
    return log;
}

} // namespace

class tst_MaintenanceEmu : public QObject
{
    Q_OBJECT
    Blobs m_blobs{TestImages::passphrase()};

private slots:
    void initTestCase()
    {
        for (const char *tool : {"openssl", "cmp", "python3", "protoc"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QString("%1 is not installed (scripts/bootstrap installs it)").arg(tool)));
    }
    void init() { settings().clear(); }

    void updateEndToEnd()
    {
        JobRunner run(&m_blobs);
        run.load(kRecordAt, otherRecord());
        run.load(0x1F0000, QByteArray(0x10000, 'z'));
        const QByteArray tail = run.flash().mid(kRecordAt);
        const int refreshes = run.unit->fpga().refreshCount();

        QVERIFY(run.jobs->startUpdate());
        run.tick();
        QCOMPARE(run.jobs->tickPeriodMs(), 0);
        run.runToIdle();
        QCOMPARE(run.log, updateLog());
        QCOMPARE(run.jobs->tickPeriodMs(), 33);
        QCOMPARE(run.unit->fpga().refreshCount(), refreshes + 1);

        // The image as openssl deciphers the resources, padded with 0xFF.
        QByteArray expected;
        for (const char *name : {"gateware", "firmware"}) {
            bool ok = false;
            expected +=
                Openssl::aes(false, readFile(TestImages::directory() + "/" + name), TestImages::passphrase(), &ok);
            QVERIFY(ok);
            expected += QByteArray(int(((expected.size() + 0xFFFF) & ~0xFFFF) - expected.size()), '\xFF');
        }
        QTemporaryDir dir;
        QFile out(dir.filePath("expected.bin"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(expected);
        out.close();
        QCOMPARE(QProcess::execute("cmp", {"-n", QString::number(kImageSize), out.fileName(), run.flashFile()}), 0);
        // Between the image and the record the flash stays erased; from the record on it is untouched.
        const QByteArray flash = readFile(run.flashFile());
        QCOMPARE(flash.mid(kImageSize, kRecordAt - kImageSize), QByteArray(kRecordAt - kImageSize, '\xFF'));
        QCOMPARE(flash.mid(kRecordAt), tail);

        QProcess python;
        python.start("python3", {"-c",
                                 "import sys, zlib; d = open(sys.argv[1], 'rb').read(); "
                                 "print(zlib.crc32(d[:700587 + (0xB0000 - 700587) + 824108]))",
                                 run.flashFile()});
        QVERIFY(python.waitForFinished(20000));
        QCOMPARE(python.readAllStandardOutput().trimmed().toULongLong(), quint64(run.jobs->imageCrc()));
    }

    void rebootLeavesTheFlash()
    {
        JobRunner run(&m_blobs);
        run.load(0, QByteArray(0x1000, 'q'));
        const QByteArray before = run.flash();
        const int refreshes = run.unit->fpga().refreshCount();
        QVERIFY(run.jobs->reboot());
        QCOMPARE(run.flash(), before);
        QCOMPARE(run.unit->fpga().refreshCount(), refreshes + 1);
        QCOMPARE(run.log.last(), QString("JTAG: Issue Device Refresh"));
        QVERIFY(!run.jobs->flashMode());
    }

    void faults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("tail"); // last status lines
        QTest::addColumn<bool>("flashUnchanged");

        QTest::newRow("flipped read-back bit") << "flip"
                                               << QStringList{"JTAG: Readback done (1572864 of 1572864 bytes read)",
                                                              "JTAG: Flash Verify FAIL.", "JTAG: Issue Device Refresh"}
                                               << false;
        QTest::newRow("stuck busy") << "busy"
                                    << QStringList{"erase 64kB sector at 0x000000..",
                                                   "JTAG: Flash stays busy, job stopped.", "JTAG: Flash Verify FAIL.",
                                                   "JTAG: Issue Device Refresh"}
                                    << false;
        QTest::newRow("unplugged mid-program")
            << "unplug" << QStringList{"JTAG: Flash Verify FAIL.", "JTAG: Issue Device Refresh"} << false;
        QTest::newRow("no device")
            << "absent"
            << QStringList{"JTAG: Initialize interface",
                           "Can't find iCE FTDI USB device (vendor_id 0x0403, device_id 0x6010 or 0x6014)."}
            << true;
    }

    void faults()
    {
        QFETCH(QString, fault);
        QFETCH(QStringList, tail);
        QFETCH(bool, flashUnchanged);
        JobRunner run(&m_blobs);
        run.load(kRecordAt, otherRecord());
        const QByteArray before = run.flash();
        if (fault == "busy")
            run.unit->flash().timings().scale = 1e6;
        if (fault == "absent")
            run.unit->faults().absent = true;
        QVERIFY(run.jobs->startUpdate());
        if (fault == "unplug" || fault == "flip") {
            const Step until = fault == "flip" ? Step::Readback : Step::Program;
            while (run.jobs->updateStep() != until)
                run.tick();
            for (int i = 0; i < 10; ++i)
                run.tick();
            if (fault == "flip") {
                QByteArray byte = run.flash().mid(0x123456, 1);
                byte[0] = char(byte[0] & ~0x10 ? byte[0] & ~0x10 : 0);
                run.load(0x123456, byte);
            } else {
                run.unit->faults().unplugAfter = run.unit->bytesWritten() + 1000;
            }
        }
        run.runToIdle();
        if (fault == "unplug") {
            // The transport's own message, then the verdict at once.
            QVERIFY2(run.log.filter("Write error").size() == 1, qPrintable(run.log.join('\n')));
            QVERIFY(run.log.indexOf(QRegularExpression("^Write error \\(rc=-?\\d+, expected \\d+\\).*")) ==
                    run.log.size() - 3);
            QVERIFY(run.log.filter("Program Done").isEmpty());
            // Nothing was offered to the bridge after the failed write.
            QStringList calls;
            for (const std::string &c : run.unit->calls())
                calls << QString::fromStdString(c);
            const int failed = calls.lastIndexOf(QRegularExpression("^A write \\d+ = -.*"));
            QVERIFY(failed > 0);
            QCOMPARE(calls.mid(failed + 1).filter(QRegularExpression("^A (write|read)")), QStringList());
        }
        QCOMPARE(run.log.mid(run.log.size() - tail.size()), tail);
        QCOMPARE(run.jobs->tickPeriodMs(), 33);
        QVERIFY(!run.jobs->busy());
        if (flashUnchanged)
            QCOMPARE(run.flash(), before);
        // Whatever happened, the configuration record is where it was.
        QCOMPARE(run.flash().mid(kRecordAt, 0x10000), before.mid(kRecordAt, 0x10000));
    }

    void configurationStartDuringUpdateIsRefused()
    {
        settings().setValue(SettingsKeys::kNetPsk, QByteArray("0123456789abcdef"));
        JobRunner run(&m_blobs);
        run.load(kRecordAt, otherRecord());
        QVERIFY(run.jobs->startUpdate());
        for (int i = 0; i < 5; ++i)
            run.tick();
        QVERIFY(run.jobs->flashMode());
        ConfigRecord::Fields fields;
        fields.keySource = KeySource::Application;
        QVERIFY(!run.jobs->controlState(false).configWrite);
        QVERIFY(!run.jobs->startConfigWrite(fields));
        QCOMPARE(run.log.last(), QString("Another maintenance job is still running; wait until it has finished."));
        run.runToIdle();
        QVERIFY(run.log.contains("JTAG: Flash Verify PASS."));
        QCOMPARE(run.flash().mid(kRecordAt, otherRecord().size()), otherRecord());
    }

    void readErasedSector()
    {
        JobRunner run(&m_blobs);
        ConfigRecord::Fields fields;
        QVERIFY(run.jobs->readConfiguration(&fields));
        QCOMPARE(run.log, QStringList({"JTAG: Initialize interface", "JTAG: IDCODE 0x41111043",
                                       "JTAG: Putting device into reset", "JTAG: Flash JEDEC ID EF 40 15",
                                       "JTAG: Read 65536 bytes", "JTAG: Issue Device Refresh"}));
        QVERIFY(fields.dhcp);
        QVERIFY(!run.jobs->readBackConfig().has_psk);
        QVERIFY(run.jobs->readBackConfig().timestamp[0] != '\0');
        const FirmwareJobs::Controls c = run.jobs->controlState(false);
        QVERIFY(c.configWrite);
        QCOMPARE(c.defaultKeySource, KeySource::Regenerate);
    }

    void readRecordOfProtoc()
    {
        bool ok = false;
        JobRunner run(&m_blobs);
        run.load(kRecordAt, Protoc::encodeDelimited("timestamp: \"2026-12-08 09.30.00 AM\" staticIp { address: "
                                                    "167880896 mask: 16777215 gateway: 16885952 dns: 134744072 } "
                                                    "psk: \"0123456789abcdef\"",
                                                    &ok));
        QVERIFY(ok);
        ConfigRecord::Fields fields;
        QVERIFY(run.jobs->readConfiguration(&fields));
        QVERIFY(!fields.dhcp);
        QCOMPARE(fields.address, QString("192.168.1.10"));
        QCOMPARE(fields.mask, QString("255.255.255.0"));
        QCOMPARE(fields.gateway, QString("192.168.1.1"));
        QCOMPARE(fields.dns, QString("8.8.8.8"));
        QCOMPARE(settings().value(SettingsKeys::kNetPsk).toByteArray(), QByteArray("0123456789abcdef"));
        QCOMPARE(run.jobs->controlState(true).defaultKeySource, KeySource::Unit);
    }

    // A weak key on the unit is not copied into the settings, where the key
    // check would delete it again and leave no client with the unit's key.
    void readDoesNotStoreAWeakKey_data()
    {
        QTest::addColumn<QByteArray>("psk");
        QTest::newRow("15 bytes") << QByteArray("psk: \"0123456789abcde\"");
        QTest::newRow("blacklisted") << QByteArray("psk: \"UUUUUUUUUUUUUUUU\"");
    }

    void readDoesNotStoreAWeakKey()
    {
        QFETCH(QByteArray, psk);
        bool ok = false;
        JobRunner run(&m_blobs);
        run.load(kRecordAt, Protoc::encodeDelimited("timestamp: \"t\" dhcp {} " + psk, &ok));
        QVERIFY(ok);
        ConfigRecord::Fields fields;
        QVERIFY(run.jobs->readConfiguration(&fields));
        QVERIFY(run.jobs->readBackConfig().has_psk);
        QVERIFY(!settings().contains(SettingsKeys::kNetPsk));
    }

    void writeFromEachKeySource_data()
    {
        QTest::addColumn<int>("source");
        QTest::addColumn<QString>("line");
        QTest::newRow("regenerate") << int(KeySource::Regenerate) << "Generating new secret key";
        QTest::newRow("unit") << int(KeySource::Unit) << "Using key from VQ6020";
        QTest::newRow("application") << int(KeySource::Application) << "Using key from saved settings";
    }

    void writeFromEachKeySource()
    {
        QFETCH(int, source);
        QFETCH(QString, line);
        JobRunner run(&m_blobs);
        run.load(kRecordAt, otherRecord());
        ConfigRecord::Fields fields;
        QVERIFY(run.jobs->readConfiguration(&fields));
        if (source == int(KeySource::Application))
            settings().setValue(SettingsKeys::kNetPsk, QByteArray("from settings!!!"));
        run.log.clear();
        fields.dhcp = false;
        fields.address = "192.168.001.010";
        fields.mask = "255.255.255.000";
        fields.gateway = "192.168.1.1";
        fields.dns = "8.8.8.8";
        fields.keySource = KeySource(source);
        QVERIFY(run.jobs->startConfigWrite(fields));
        run.tick();
        run.tick();
        // The key is stored before the flash is touched.
        const QByteArray key = settings().value(SettingsKeys::kNetPsk).toByteArray();
        QCOMPARE(key.size(), 16);
        QCOMPARE(run.flash().mid(kRecordAt, otherRecord().size()), otherRecord());
        run.runToIdle();
        QCOMPARE(run.log.mid(0, 2), QStringList({line, "Configuration data ready to write"}));
        QVERIFY(run.log.contains("Erase configuration at 0x  1e0000"));
        QVERIFY(run.log.contains("erase 64kB sector at 0x1E0000.."));
        QVERIFY(run.log.contains("Write configuration to 0x  1e0000"));
        QVERIFY2(run.log.contains("Verify pass"), qPrintable(run.log.join('\n')));

        bool ok = false;
        const QString text = Protoc::decodeDelimited(run.flash().mid(kRecordAt, 128), &ok);
        QVERIFY(ok);
        QVERIFY2(text.contains("address: 167880896"), qPrintable(text));
        QVERIFY(text.contains("mask: 16777215"));
        UserConfiguration record;
        QVERIFY(ConfigRecord::decode(run.flash().mid(kRecordAt, 128), &record, nullptr));
        QCOMPARE(ConfigRecord::keyOf(record), key);
        if (source == int(KeySource::Unit))
            QCOMPARE(key, QByteArray("AAAAbbbbCCCCdddd"));
        if (source == int(KeySource::Application))
            QCOMPARE(key, QByteArray("from settings!!!"));
    }
};

QTEST_GUILESS_MAIN(tst_MaintenanceEmu)
#include "tst_MaintenanceEmu.moc"
