// The JTAG link over a scripted bridge: what reaches the USB bridge, byte for
// byte, for each primitive and each failure.
#include "FakeBridge.h"
#include "maintenance/JtagTap.h"
#include "maintenance/MpsseLink.h"
#include "maintenance/PrintSink.h"

#include "support/LogCapture.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}
} // namespace

class tst_MpsseLink : public QObject
{
    Q_OBJECT
    FakeBridge *m_bridge = nullptr;
    JtagTap &tap = JtagTap::instance();
    MpsseLink &link = MpsseLink::instance();

    // A fresh bridge and an open link in Shift-DR with its traffic forgotten.
    void openInShiftDr()
    {
        QCOMPARE(tap.open(0, nullptr, 1), 0);
        tap.moveTo(JtagTap::ShiftDr);
        m_bridge->writes.clear();
    }

private slots:
    void init()
    {
        delete m_bridge;
        m_bridge = new FakeBridge;
        m_bridge->install();
        PrintSink::takePending();
    }

    // Each print is logged at once; the status log gets the prints between two
    // ticks as one line, trimmed and joined without separators.
    void printsBetweenTicksMakeOneLine()
    {
        LogCapture log;
        PrintSink::print("erase 64kB sector at 0x%06X..\n", 0x1E0000u);
        QVERIFY(log.contains("erase 64kB sector at 0x1E0000.."));
        PrintSink::print("  Purge error.\n");
        QVERIFY(PrintSink::pending());
        QCOMPARE(PrintSink::takePending(), QString("erase 64kB sector at 0x1E0000..Purge error."));
        QVERIFY(!PrintSink::pending());
    }

    void openSendsTheSetUpAndCloseRestoresLatency()
    {
        QCOMPARE(tap.open(0, nullptr, 1), 0);
        QCOMPARE(m_bridge->calls, QStringList({"init", "interface 1", "open 0403:6010", "reset", "purge", "getLatency",
                                               "setLatency 1", "bitmode ff 2", "purge"}));
        // Each set-up byte is its own write; then five TMS clocks reset the TAP.
        QList<QByteArray> expected;
        for (const char *b : {"8a", "86", "00", "00", "80", "08", "0b"})
            expected << hex(b);
        expected << hex("4e041f");
        QCOMPARE(m_bridge->writes, expected);
        QCOMPARE(tap.state(), JtagTap::TestLogicReset);

        m_bridge->calls.clear();
        tap.close();
        QCOMPARE(m_bridge->calls, QStringList({"setLatency 16", "disableBitbang", "close", "deinit"}));
    }

    // Every open failure, with its message, runs against the emulated bridge
    // (tst_LinkEmu); here only the second product id and the device string.
    void secondProductId()
    {
        m_bridge->missingProducts = {0x6010};
        QCOMPARE(link.open(0, nullptr, 1), 0);
        QVERIFY(m_bridge->calls.contains("open 0403:6014"));
        QCOMPARE(link.errorCode(), 0);
    }

    void openByDeviceString()
    {
        QCOMPARE(link.open(1, "s:0x0403:0x6010:X", 1), -1);
        QCOMPARE(m_bridge->calls.mid(0, 3), QStringList({"init", "interface 2", "openString s:0x0403:0x6010:X"}));
        QCOMPARE(PrintSink::takePending(),
                 QString("Can't find iCE FTDI USB device (device string s:0x0403:0x6010:X)."));
    }

    void shift_data()
    {
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("exitOnLast");
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<int>("outputBytes"); // bytes of output that carry TDO
        QTest::addColumn<int>("state");

        QTest::newRow("8 bits, exit") << 8 << true
                                      << QList<QByteArray>{hex("6f00006f00806f00006f00806f00006f00806f00006f0081")} << 1
                                      << int(JtagTap::Exit1Dr);
        QTest::newRow("16 bits, exit") << 16 << true
                                       << QList<QByteArray>{hex("3d0000aa"),
                                                            hex("6f00806f00006f00806f00006f00806f00006f00806f0001")}
                                       << 2 << int(JtagTap::Exit1Dr);
        QTest::newRow("2 bits, exit") << 2 << true << QList<QByteArray>{hex("6f00006f0081")} << 0
                                      << int(JtagTap::Exit1Dr);
        QTest::newRow("0 bits, exit") << 0 << true << QList<QByteArray>{} << 0 << int(JtagTap::ShiftDr);
        QTest::newRow("7 bits") << 7 << false << QList<QByteArray>{hex("6f00006f00806f00006f00806f00006f00806f0000")}
                                << 0 << int(JtagTap::ShiftDr);
    }

    void shift()
    {
        QFETCH(int, bits);
        QFETCH(bool, exitOnLast);
        QFETCH(QList<QByteArray>, writes);
        QFETCH(int, outputBytes);
        QFETCH(int, state);
        openInShiftDr();
        // 0xAA then 0x55: alternating bits, least significant first.
        QByteArray data = hex("aa55");
        const QByteArray sent = data;
        QByteArray out(2, '\x33');
        tap.shift(reinterpret_cast<const uint8_t *>(data.constData()), reinterpret_cast<uint8_t *>(out.data()),
                  unsigned(bits), exitOnLast);
        QCOMPARE(m_bridge->writes, writes);
        QCOMPARE(int(tap.state()), state);
        // TDO is looped back: the captured bytes are the bytes sent; the rest is untouched.
        QCOMPARE(out.left(outputBytes), sent.left(outputBytes));
        QCOMPARE(out.mid(outputBytes), QByteArray(2 - outputBytes, '\x33'));
    }

    void longShiftIsCutInto768ByteChunks()
    {
        openInShiftDr();
        QByteArray data(65536, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 7);
        const QByteArray sent = data;
        auto *bytes = reinterpret_cast<uint8_t *>(data.data());
        tap.shift(bytes, bytes, 65536 * 8, false);
        QCOMPARE(m_bridge->writes.size(), 86);
        for (int i = 0; i < 85; ++i)
            QCOMPARE(m_bridge->writes[i].left(3), hex("3dff02"));
        QCOMPARE(m_bridge->writes.last().left(3), hex("3dff00"));
        QCOMPARE(m_bridge->writes.last().size(), 3 + 256);
        QCOMPARE(data, sent);
        QCOMPARE(tap.state(), JtagTap::ShiftDr);
    }

    void moveTo_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QByteArray>("sent");

        QTest::newRow("current state") << int(JtagTap::ShiftDr) << int(JtagTap::ShiftDr) << QByteArray();
        QTest::newRow("reset always clocks five")
            << int(JtagTap::TestLogicReset) << int(JtagTap::TestLogicReset) << hex("4e041f");
        // Through Pause-DR and Exit2-DR, never through Update-DR.
        QTest::newRow("exit1-dr to shift-dr")
            << int(JtagTap::Exit1Dr) << int(JtagTap::ShiftDr) << hex("4e00004e00014e0000");
        QTest::newRow("shift-dr to shift-ir")
            << int(JtagTap::ShiftDr) << int(JtagTap::ShiftIr) << hex("4e00014e00014e00014e00014e00004e0000");
    }

    void moveTo()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QByteArray, sent);
        QCOMPARE(tap.open(0, nullptr, 1), 0);
        tap.moveTo(JtagTap::TapState(from));
        m_bridge->writes.clear();
        tap.moveTo(JtagTap::TapState(to));
        QCOMPARE(m_bridge->written(), sent);
        QCOMPARE(int(tap.state()), to);
    }

    void idleClocks_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::newRow("32") << 32 << QList<QByteArray>{hex("8f0400")};
        QTest::newRow("2051") << 2051 << QList<QByteArray>{hex("8f0001"), hex("8e03")};
    }

    void idleClocks()
    {
        QFETCH(int, count);
        QFETCH(QList<QByteArray>, writes);
        openInShiftDr();
        tap.idleClocks(unsigned(count));
        QCOMPARE(m_bridge->writes, writes);
    }

    void readFaults_data()
    {
        QTest::addColumn<int>("reads");
        QTest::addColumn<QString>("message");
        QTest::newRow("error") << int(FakeBridge::Reads::Error) << "Read error (rc=-2)[fake error]";
        QTest::newRow("more than asked") << int(FakeBridge::Reads::TooMuch) << "Read error (rc=2)[fake error]";
        QTest::newRow("nothing, ever") << int(FakeBridge::Reads::Zero)
                                       << "Read time-out (0 of 1 bytes in 1000 ms)[fake error]";
    }

    // A bridge that answers wrongly or never ends the transfer within the
    // time-out, never writes past the buffer, and silences the link.
    void readFaults()
    {
        QFETCH(int, reads);
        QFETCH(QString, message);
        openInShiftDr();
        m_bridge->reads = FakeBridge::Reads(reads);
        uint8_t buffer[8] = {0x6F, 0x00, 0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        QElapsedTimer clock;
        clock.start();
        link.exchange(buffer, 3, 1);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(PrintSink::takePending(), message);
        QCOMPARE(link.errorCode(), 2);
        for (int i = 3; i < 8; ++i)
            QCOMPARE(buffer[i], uint8_t(0xEE));
        QVERIFY(m_bridge->calls.endsWith("deinit"));
    }

    // After a failure every transfer is skipped until the link is opened again;
    // a successful open makes it usable again.
    void errorStaysUntilReopened()
    {
        openInShiftDr();
        m_bridge->writeBudget = 0;
        uint8_t cmd[] = {0x8F, 0x04, 0x00};
        link.exchange(cmd, 3, 0);
        QCOMPARE(PrintSink::takePending(), QString("Write error (rc=-4, expected 3)[fake error]"));
        QCOMPARE(link.errorCode(), 2);
        m_bridge->writeBudget = -1;
        tap.idleClocks(32);
        QCOMPARE(m_bridge->writes, QList<QByteArray>());

        QCOMPARE(tap.open(0, nullptr, 1), 0);
        QCOMPARE(link.errorCode(), 0);
        m_bridge->writes.clear();
        tap.idleClocks(32);
        QCOMPARE(m_bridge->writes, QList<QByteArray>{hex("8f0400")});
    }
};

QTEST_GUILESS_MAIN(tst_MpsseLink)
#include "tst_MpsseLink.moc"
