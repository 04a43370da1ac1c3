// The jobs' refusals and their timer, on a scripted bridge: what must not
// start, must not touch the bridge, and must not leave the 0 ms tick running.
#include "FakeBridge.h"
#include "TestImages.h"
#include "app/SettingsKeys.h"
#include "maintenance/Blobs.h"
#include "maintenance/FirmwareJobs.h"
#include "maintenance/PrintSink.h"

#include <QSettings>
#include <QtTest>

using KeySource = ConfigRecord::KeySource;

class tst_FirmwareJobs : public QObject
{
    Q_OBJECT
    QStringList m_status;
    FakeBridge *m_bridge = nullptr;

    FirmwareJobs::Hooks hooks()
    {
        return {[this](const QString &line) { m_status << line; }, {}, [] {}};
    }
    static QSettings settings() { return QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication); }
    static void runToIdle(FirmwareJobs &jobs)
    {
        for (int i = 0; i < 100 && jobs.busy(); ++i)
            jobs.tick();
    }

private slots:
    void init()
    {
        m_status.clear();
        PrintSink::takePending();
        delete m_bridge;
        m_bridge = new FakeBridge;
        m_bridge->install();
        settings().clear();
    }

    void keysThatAreNeverWritten_data()
    {
        QTest::addColumn<int>("source");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("refusal");

        QTest::newRow("unit without key") << int(KeySource::Unit) << QVariant()
                                          << "Key refused: it has 0 bytes, not 16. The configuration was not written.";
        QTest::newRow("no stored key") << int(KeySource::Application) << QVariant()
                                       << "Key refused: it has 0 bytes, not 16. The configuration was not written.";
        QTest::newRow("15 bytes") << int(KeySource::Application) << QVariant(QByteArray(15, 'k'))
                                  << "Key refused: it has 15 bytes, not 16. The configuration was not written.";
        QTest::newRow("blacklisted") << int(KeySource::Application) << QVariant(QByteArray(16, '\x55'))
                                     << "Key refused: it is blacklisted (4). The configuration was not written.";
    }

    void keysThatAreNeverWritten()
    {
        QFETCH(int, source);
        QFETCH(QVariant, stored);
        QFETCH(QString, refusal);
        if (stored.isValid())
            settings().setValue(SettingsKeys::kNetPsk, stored);
        FirmwareJobs jobs(nullptr, hooks());
        ConfigRecord::Fields fields;
        fields.keySource = KeySource(source);
        QVERIFY(jobs.startConfigWrite(fields));
        runToIdle(jobs);
        QCOMPARE(m_status.last(), refusal);
        QCOMPARE(settings().value(SettingsKeys::kNetPsk), stored);
        QCOMPARE(m_bridge->calls, QStringList());
    }

    void staticRecordWithoutAddressIsNotWritten()
    {
        FirmwareJobs jobs(nullptr, hooks());
        ConfigRecord::Fields fields;
        fields.dhcp = false;
        fields.address = "000.000.000.000";
        fields.mask = "255.255.255.0";
        fields.keySource = KeySource::Regenerate;
        QVERIFY(jobs.startConfigWrite(fields));
        runToIdle(jobs);
        QCOMPARE(m_status, QStringList{"A static configuration needs an IP address and a mask other than 0.0.0.0; the "
                                       "configuration was not written."});
        QVERIFY(!settings().contains(SettingsKeys::kNetPsk));
        QCOMPARE(m_bridge->calls, QStringList());
    }

    // A failed connect puts the 33 ms tick back; the update had switched it to 0 ms.
    void failedConnectRestoresTheTick()
    {
        m_bridge->missingProducts = {0x6010, 0x6014};
        const Blobs blobs(TestImages::passphrase());
        FirmwareJobs jobs(&blobs, hooks());
        QVERIFY(jobs.startUpdate());
        jobs.tick();
        QCOMPARE(jobs.tickPeriodMs(), 0);
        jobs.tick();
        QCOMPARE(jobs.updateStep(), FirmwareJobs::UpdateStep::Idle);
        QCOMPARE(jobs.tickPeriodMs(), 33);
        QCOMPARE(m_status, QStringList{"JTAG: Initialize interface"});
        QVERIFY(!jobs.flashMode());
    }

    // Whatever bridge has the right USB id is opened; what sits behind it is
    // checked before its configuration is cleared and before anything is erased.
    void unknownDevices_data()
    {
        QTest::addColumn<quint32>("idcode");
        QTest::addColumn<quint32>("jedec");
        QTest::addColumn<QStringList>("status");
        const QString init = "JTAG: Initialize interface";
        QTest::newRow("not an ECP5") << 0x12345043u << 0u
                                     << QStringList{init, "JTAG: IDCODE 0x12345043",
                                                    "JTAG: Not an ECP5 FPGA (IDCODE 0x12345043); nothing was changed."};
        QTest::newRow("nothing on the chain")
            << 0xFFFFFFFFu << 0u
            << QStringList{init, "JTAG: IDCODE 0xffffffff",
                           "JTAG: Not an ECP5 FPGA (IDCODE 0xffffffff); nothing was changed."};
        const QStringList entered{init, "JTAG: IDCODE 0x41111043", "JTAG: Putting device into reset"};
        QTest::newRow("flash reads FF") << 0x41111043u << 0xFFFFFFu
                                        << entered + QStringList{"JTAG: Flash JEDEC ID FF FF FF",
                                                                 "JTAG: No flash answers (JEDEC ID FF FF FF); nothing "
                                                                 "was changed.",
                                                                 "JTAG: Issue Device Refresh"};
        QTest::newRow("flash reads 00") << 0x41111043u << 0u
                                        << entered + QStringList{"JTAG: Flash JEDEC ID 00 00 00",
                                                                 "JTAG: No flash answers (JEDEC ID 00 00 00); nothing "
                                                                 "was changed.",
                                                                 "JTAG: Issue Device Refresh"};
    }

    void unknownDevices()
    {
        QFETCH(quint32, idcode);
        QFETCH(quint32, jedec);
        QFETCH(QStringList, status);
        m_bridge->queueTdo(idcode, 32);
        // ISC_ENABLE, ISC_ERASE, ISC_DISABLE, background SPI and the mode reset,
        // then the JEDEC command byte, before the ID comes.
        m_bridge->queueTdo(0, 3 * 16 + 24 + 74 + 8);
        for (int i = 2; i >= 0; --i) // each byte most significant bit first
            for (int b = 7; b >= 0; --b)
                m_bridge->tdo << bool((jedec >> (8 * i + b)) & 1);
        const Blobs blobs(TestImages::passphrase());
        FirmwareJobs jobs(&blobs, hooks());
        QVERIFY(jobs.startUpdate());
        runToIdle(jobs);
        QCOMPARE(m_status, status);
        QCOMPARE(jobs.tickPeriodMs(), 33);
        QVERIFY(!jobs.flashMode());
        // No erase command (0xD8, bit-reversed 0x1B) ever went out.
        QVERIFY(!m_bridge->written().contains(QByteArray::fromHex("3d02001b")));
    }

    void oneJobAtATime_data()
    {
        QTest::addColumn<bool>("update");
        QTest::newRow("during an update") << true;
        QTest::newRow("during a configuration write") << false;
    }

    void oneJobAtATime()
    {
        QFETCH(bool, update);
        settings().setValue(SettingsKeys::kNetPsk, QByteArray("0123456789abcdef"));
        const Blobs blobs(TestImages::passphrase());
        FirmwareJobs jobs(&blobs, hooks());
        ConfigRecord::Fields fields;
        fields.keySource = KeySource::Application;
        QVERIFY(update ? jobs.startUpdate() : jobs.startConfigWrite(fields));
        m_status.clear();
        ConfigRecord::Fields shown = fields;
        QVERIFY(!jobs.startConfigWrite(fields));
        QVERIFY(!jobs.startUpdate());
        QVERIFY(!jobs.reboot());
        QVERIFY(!jobs.readConfiguration(&shown));
        QCOMPARE(
            m_status,
            QStringList(
                QVector<QString>(4, "Another maintenance job is still running; wait until it has finished.").toList()));
        const FirmwareJobs::Controls c = jobs.controlState(false);
        QVERIFY(!c.configWrite && !c.configRead && !c.gatewareProgram && !c.reset);
        QCOMPARE(m_bridge->calls, QStringList());
    }

    void controlState_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("defaultSource");
        QTest::newRow("nothing anywhere") << QVariant() << int(KeySource::Regenerate);
        QTest::newRow("key in settings") << QVariant(QByteArray("0123456789abcdef")) << int(KeySource::Application);
    }

    void controlState()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, defaultSource);
        if (stored.isValid())
            settings().setValue(SettingsKeys::kNetPsk, stored);
        FirmwareJobs jobs(nullptr, hooks());
        const FirmwareJobs::Controls c = jobs.controlState(true);
        QCOMPARE(int(c.defaultKeySource), defaultSource);
        // Nothing read yet: no writing, no record fields.
        QVERIFY(!c.configWrite && !c.ipMode && !c.keySources && !c.addressFields);
        QVERIFY(c.configRead && c.gatewareProgram && c.reset);
    }
};

QTEST_GUILESS_MAIN(tst_FirmwareJobs)
#include "tst_FirmwareJobs.moc"
