// The JTAG link on the bytes and calls the emulated bridge saw.
#include "EmulatedFtdi.h"
#include "maintenance/Ecp5Flash.h"
#include "maintenance/JtagTap.h"
#include "maintenance/MpsseLink.h"
#include "maintenance/PrintSink.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

QStringList calls(const EmulatedUnit &unit, bool withTransfers = false)
{
    QStringList out;
    for (const std::string &c : unit.calls()) {
        const QString line = QString::fromStdString(c);
        if (withTransfers || !(line.startsWith("A write") || line.startsWith("A read")))
            out << line;
    }
    return out;
}

QByteArray written(const EmulatedUnit &unit)
{
    const std::vector<uint8_t> w = unit.written(0);
    return QByteArray(reinterpret_cast<const char *>(w.data()), int(w.size()));
}

} // namespace

class tst_LinkEmu : public QObject
{
    Q_OBJECT
    std::shared_ptr<EmulatedUnit> m_unit;
    JtagTap &tap = JtagTap::instance();
    MpsseLink &link = MpsseLink::instance();

    void makeUnit(EmulatedUnit::Options options = EmulatedUnit::Options())
    {
        tap.close();
        m_unit = std::make_shared<EmulatedUnit>(options);
        ftdiTransportFactory() = emulatedFtdiFactory(m_unit);
        PrintSink::takePending();
    }

private slots:
    void openSequenceAndLatency()
    {
        makeUnit();
        QCOMPARE(tap.open(0, nullptr, 1), 0);
        const QStringList seen = calls(*m_unit);
        QVERIFY2(seen.contains("A usb_open 0403:6010 = 0"), qPrintable(seen.join('\n')));
        QVERIFY(seen.contains("A set_latency_timer 1 = 0"));
        QVERIFY(seen.contains("A set_bitmode ff 02 = 0"));
        QCOMPARE(written(*m_unit), QByteArray::fromHex("8a86000080080b4e041f"));
        QCOMPARE(int(m_unit->channel(0).latency), 1);
        tap.close();
        QCOMPARE(int(m_unit->channel(0).latency), 16);
    }

    void secondProductId()
    {
        EmulatedUnit::Options options;
        options.product = 0x6014;
        makeUnit(options);
        QCOMPARE(tap.open(0, nullptr, 1), 0);
        const QStringList seen = calls(*m_unit);
        QVERIFY2(seen.contains("A usb_open 0403:6010 = -3") && seen.contains("A usb_open 0403:6014 = 0"),
                 qPrintable(seen.join('\n')));
    }

    void openFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        QTest::newRow("absent") << "absent"
                                << "Can't find iCE FTDI USB device (vendor_id 0x0403, device_id 0x6010 or 0x6014).";
        QTest::newRow("reset") << "refuseReset"
                               << "Failed to reset iCE FTDI USB device.";
        QTest::newRow("purge") << "refusePurge"
                               << "Failed to purge buffers on iCE FTDI USB device.";
        QTest::newRow("latency read") << "refuseLatencyRead"
                                      << "Failed to get latency timer (";
        QTest::newRow("latency") << "refuseLatency"
                                 << "Failed to set latency timer (";
        QTest::newRow("mpsse") << "refuseBitmode"
                               << "Failed to set BITMODE_MPSSE on FTDI USB device.";
        QTest::newRow("short write") << "shortWrite"
                                     << "Write error (single byte, rc=0, expected 1)(";
    }

    void openFailures()
    {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        EmulatedUnit::Options options;
        UsbFaults &f = options.faults;
        f.absent = fault == "absent";
        f.refuseReset = fault == "refuseReset";
        f.refusePurge = fault == "refusePurge";
        f.refuseLatencyRead = fault == "refuseLatencyRead";
        f.refuseLatency = fault == "refuseLatency";
        f.refuseBitmode = fault == "refuseBitmode";
        f.shortWrite = fault == "shortWrite" ? 0 : -1;
        makeUnit(options);
        QCOMPARE(tap.open(0, nullptr, 1), -1);
        const QString printed = PrintSink::takePending();
        QVERIFY2(printed.startsWith(message), qPrintable(printed));
        QCOMPARE(link.errorCode(), 2);
        // The latency timer is back where it was whenever it had been changed.
        QCOMPARE(int(m_unit->channel(0).latency), 16);
    }

    // The bit path: the eighth answer of a group carries the byte.
    void idcodeThroughBothPaths()
    {
        makeUnit();
        QCOMPARE(tap.open(0, nullptr, 1), 0);
        Ecp5Flash flash([] {});
        QCOMPARE(flash.readIdcode(), 0x41111043u);
    }

    void stalledBridgeEndsTheTransfer()
    {
        makeUnit();
        QCOMPARE(tap.open(0, nullptr, 1), 0);
        m_unit->faults().stall = true;
        QElapsedTimer clock;
        clock.start();
        Ecp5Flash flash([] {});
        flash.readIdcode();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(PrintSink::takePending().startsWith("Read time-out (0 of "));
        QCOMPARE(link.errorCode(), 2);
        const int before = written(*m_unit).size();
        tap.idleClocks(32);
        QCOMPARE(written(*m_unit).size(), before);
    }

    void shortAndSplitReadsStillComplete()
    {
        EmulatedUnit::Options options;
        options.faults.readChunk = 3;
        options.faults.zeroReadEvery = 2;
        makeUnit(options);
        QCOMPARE(tap.open(0, nullptr, 1), 0);
        tap.moveTo(JtagTap::ShiftDr);
        QByteArray data(4000, '\x5a');
        auto *bytes = reinterpret_cast<uint8_t *>(data.data());
        tap.shift(bytes, bytes, 4000 * 8, true);
        QCOMPARE(link.errorCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_LinkEmu)
#include "tst_LinkEmu.moc"
