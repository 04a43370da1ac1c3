// The emulated unit's USB side, driven the way a host drives the real one: raw MPSSE
// bytes through the FTDI transport, JTAG to the ECP5, background SPI to the flash.
#include "EmulatedFtdi.h"
#include "EmulatedTimeClock.h"
#include "UnitEnvironment.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray hex(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1());
}

uint8_t reversed(uint8_t b)
{
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        r |= uint8_t(((b >> i) & 1) << (7 - i));
    return r;
}

// A host that speaks MPSSE to the emulated bridge, as a JTAG tool would.
struct Host {
    std::shared_ptr<EmulatedUnit> unit;
    EmulatedFtdi ftdi;

    explicit Host(UnitOptions options = UnitOptions()) : unit(std::make_shared<EmulatedUnit>(options)), ftdi(unit) {}

    bool open(int product = 0x6010)
    {
        ftdi.init();
        ftdi.setInterface(FtdiTransport::InterfaceA);
        return ftdi.open(0x0403, product) == 0 && ftdi.setBitmode(0xFF, FtdiTransport::BitmodeMpsse) == 0 &&
               send(hex("8a86000080080b"));
    }
    bool send(const QByteArray &bytes)
    {
        return ftdi.writeData(reinterpret_cast<const unsigned char *>(bytes.constData()), bytes.size()) == bytes.size();
    }
    QByteArray receive(int max = 1 << 16)
    {
        QByteArray out(max, '\0');
        const int n = ftdi.readData(reinterpret_cast<unsigned char *>(out.data()), max);
        return out.left(std::max(n, 0));
    }
    // Shifts whole bytes through the current Shift state, leaving it with the last bit.
    QByteArray shift(const QByteArray &tdi)
    {
        QByteArray cmd;
        const int n = tdi.size();
        if (n > 1)
            cmd += char(0x39) + QByteArray(1, char(n - 2)) + QByteArray(1, 0) + tdi.left(n - 1);
        const uint8_t last = uint8_t(tdi.at(n - 1));
        cmd += hex("3b06") + char(last) + hex("6b00") + char(0x01 | (last & 0x80));
        send(cmd);
        QByteArray got = receive();
        const uint8_t top = uint8_t(got.at(got.size() - 1)) & 0x80, low = uint8_t(got.at(got.size() - 2)) >> 1;
        got.chop(2);
        return got + char(top | low);
    }
    // From Run-Test/Idle through a scan and back.
    QByteArray scan(bool ir, const QByteArray &tdi)
    {
        send(ir ? hex("4b0303") : hex("4b0201"));
        const QByteArray out = shift(tdi);
        send(hex("4b0101"));
        return out;
    }
    void reset() { send(hex("4b051f4b0000")); } // Test-Logic-Reset, then Run-Test/Idle
    void instruction(uint8_t ir, int operandBits = 8)
    {
        scan(true, QByteArray(1, char(ir)));
        scan(false, QByteArray(operandBits / 8, '\0'));
    }
    void enterBackgroundSpi(uint16_t key = Ecp5Tap::BackgroundSpiKey)
    {
        reset();
        scan(true, QByteArray(1, char(Ecp5Tap::LscBackgroundSpi)));
        scan(false, QByteArray(1, char(key & 0xFF)) + char(key >> 8));
    }
    // One SPI transaction (flash selected for exactly these bytes).
    QByteArray spi(const QByteArray &mosi)
    {
        QByteArray out = mosi;
        for (char &c : out)
            c = char(reversed(uint8_t(c)));
        out = scan(false, out);
        for (char &c : out)
            c = char(reversed(uint8_t(c)));
        return out;
    }
};

// The maintenance link's way of shifting SPI bytes from Run-Test/Idle: 0x3D byte chunks of at most 768 bytes,
// then one 0x6F command per remaining bit (TMS high on the last), of whose answers only
// every eighth byte is kept; the TAP walks one TMS clock per write.
QByteArray linkStyleTransfer(Host &host, const QByteArray &mosi)
{
    for (char tms : {1, 0, 0}) // Run-Test/Idle to Shift-DR
        host.send(hex("4e00") + tms);
    QByteArray data = mosi, out;
    for (char &c : data)
        c = char(reversed(uint8_t(c)));
    int bits = data.size() * 8;
    while (bits >= 9) {
        const int n = std::min((bits - 1) / 8, 768);
        host.send(hex("3d") + char((n - 1) & 0xFF) + char((n - 1) >> 8) + data.mid(out.size(), n));
        QByteArray got;
        while (got.size() < n)
            got += host.receive(n - got.size());
        out += got;
        bits -= n * 8;
    }
    QByteArray cmd;
    const uint8_t last = uint8_t(data.at(data.size() - 1));
    for (int i = 0; i < bits; ++i)
        cmd += hex("6f00") + char((((last >> i) & 1) << 7) | (i == bits - 1 ? 1 : 0));
    host.send(cmd);
    const QByteArray answers = host.receive(bits);
    if (answers.size() == 8)
        out += answers.at(7);
    for (char &c : out)
        c = char(reversed(uint8_t(c)));
    return out;
}

} // namespace

class TestUsbEmu : public QObject
{
    Q_OBJECT
private slots:
    void mpsseCommands_data();
    void mpsseCommands();
    void tapRegisters_data();
    void tapRegisters();
    void backgroundSpiAndRefresh_data();
    void backgroundSpiAndRefresh();
    void linkAccessPattern_data();
    void linkAccessPattern();
    void flashSemantics_data();
    void flashSemantics();
    void flashFile_data();
    void flashFile();
    void transportFaults_data();
    void transportFaults();
    void consoleChannel();
};

void TestUsbEmu::mpsseCommands_data()
{
    QTest::addColumn<int>("product");
    QTest::addColumn<QString>("writes"); // one ftdi write per '|'
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("cycles"); // TCK clocks, -1: not checked

    QTest::newRow("unknown opcode: FA and the opcode") << 0x6010 << "aa" << hex("faaa") << 0;
    QTest::newRow("unknown opcodes in one write") << 0x6010 << "abaa" << hex("faabfaaa") << 0;
    QTest::newRow("a shift opcode without data or read is unknown") << 0x6010 << "00" << hex("fa00") << 0;
    QTest::newRow("drive-zero is unknown to the two-channel part")
        << 0x6010 << "9e0000|81" << hex("fa9efa00fa00fc") << 0;
    QTest::newRow("drive-zero takes two bytes on the single-channel part") << 0x6014 << "9e0000|81" << hex("fc") << 0;
    QTest::newRow("set-up commands answer nothing")
        << 0x6010 << "8a|860000|80080b|87|8b|8c|8d|96|97|88" << hex("") << 0;
    QTest::newRow("wait for GPIO low holds every later command") << 0x6010 << "89|81" << hex("") << 0;
    QTest::newRow("command split over writes") << 0x6010 << "84|39|01|00aa|bb|85" << hex("aabb") << 16;
    QTest::newRow("a command waits for all its data") << 0x6010 << "84|390100aa" << hex("") << 0;
    QTest::newRow("one-bit read carries TDO in bit 7") << 0x6010 << "84|3b0001|3b0000" << hex("8040") << 2;
    QTest::newRow("MSB-first byte loopback") << 0x6010 << "84|31010080|01" << hex("8001") << 16;
    QTest::newRow("eight one-bit reads build the IDCODE's low byte")
        << 0x6010 << "4b0302|6f0000|6f0000|6f0000|6f0000|6f0000|6f0000|6f0000|6f0000" << hex("80c06030180c8643") << 12;
    QTest::newRow("byte read of the IDCODE") << 0x6010 << "4b0302|2c0300" << hex("43101141") << 36;
    QTest::newRow("MSB-first bit read") << 0x6010 << "4b0302|2207" << hex("c2") << 12;
    QTest::newRow("TMS read samples TDO on each clock") << 0x6010 << "4b0302|6f0300" << hex("30") << 8;
    QTest::newRow("pins: TDO floats high outside a shift") << 0x6010 << "81" << hex("fc") << 0;
    QTest::newRow("clocks without data: length + 1 bits") << 0x6010 << "8e03" << hex("") << 4;
    QTest::newRow("clocks without data: (length + 1) bytes") << 0x6010 << "8f0400" << hex("") << 40;
}

void TestUsbEmu::mpsseCommands()
{
    QFETCH(int, product);
    QFETCH(QString, writes);
    QFETCH(QByteArray, answer);
    QFETCH(int, cycles);
    UnitOptions options;
    options.product = uint16_t(product);
    Host host(options);
    QVERIFY(host.open(product));
    for (const QString &w : writes.split('|'))
        QVERIFY(host.send(hex(w)));
    QCOMPARE(host.receive().toHex(), answer.toHex());
    if (cycles >= 0)
        QCOMPARE(int(host.unit->channel(0).mpsse->tckCycles()), cycles);
}

void TestUsbEmu::tapRegisters_data()
{
    QTest::addColumn<QString>("before"); // instructions run first (8-bit operand each)
    QTest::addColumn<int>("instruction");
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");

    QTest::newRow("IDCODE") << "" << 0xE0 << hex("00000000") << hex("43101141");
    QTest::newRow("USERCODE") << "" << 0xC0 << hex("00000000") << hex("ffffffff");
    QTest::newRow("status of a running FPGA: done") << "" << 0x3C << hex("00000000") << hex("00010000");
    QTest::newRow("status in configuration mode") << "c6" << 0x3C << hex("00000000") << hex("00030000");
    QTest::newRow("status after erase: not done") << "c6 0e" << 0x3C << hex("00000000") << hex("00020000");
    QTest::newRow("erase outside configuration mode does nothing") << "0e" << 0x3C << hex("00") << hex("00");
    QTest::newRow("status after erase and disable") << "c6 0e 26" << 0x3C << hex("00000000") << hex("00000000");
    QTest::newRow("BYPASS delays by one bit") << "" << 0xFF << hex("aa") << hex("54");
    QTest::newRow("an unknown instruction acts as BYPASS") << "" << 0x55 << hex("81") << hex("02");
}

void TestUsbEmu::tapRegisters()
{
    QFETCH(QString, before);
    QFETCH(int, instruction);
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    Host host;
    QVERIFY(host.open());
    host.reset();
    for (const QString &ir : before.split(' ', Qt::SkipEmptyParts))
        host.instruction(uint8_t(ir.toInt(nullptr, 16)));
    // Every instruction scan captures the fixed 0b01 pattern first.
    QCOMPARE(host.scan(true, QByteArray(1, char(instruction))).toHex(), QByteArray("01"));
    QCOMPARE(host.scan(false, in).toHex(), out.toHex());
}

void TestUsbEmu::backgroundSpiAndRefresh_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QByteArray>("bootImage"); // flash contents at 0 before the refresh
    QTest::addColumn<bool>("reachesFlash");
    QTest::addColumn<bool>("configuredAfterRefresh");

    const QByteArray bitstream = hex("ffffffff") + "comment" + hex("00ffffbdb3");
    QTest::newRow("key opens the flash; refresh loads a bitstream") << 0x68FE << bitstream << true << true;
    QTest::newRow("refresh from an erased flash leaves no design") << 0x68FE << QByteArray() << true << false;
    QTest::newRow("wrong key: the shift stays in the FPGA") << 0x68FF << bitstream << false << true;
}

void TestUsbEmu::backgroundSpiAndRefresh()
{
    QFETCH(int, key);
    QFETCH(QByteArray, bootImage);
    QFETCH(bool, reachesFlash);
    QFETCH(bool, configuredAfterRefresh);
    Host host;
    QVERIFY(host.open());
    host.unit->flash().load(0, std::vector<uint8_t>(bootImage.begin(), bootImage.end()));
    host.reset();
    for (uint8_t ir : {0xC6, 0x0E, 0x26})
        host.instruction(ir);
    QVERIFY(!host.unit->fpga().configured());
    host.enterBackgroundSpi(uint16_t(key));
    QCOMPARE(host.spi(hex("9f000000")) == hex("ffef4015"), reachesFlash);

    host.scan(true, QByteArray(1, char(Ecp5Tap::LscRefresh)));
    host.send(hex("8f0300"));
    QCOMPARE(host.unit->fpga().refreshCount(), 1);
    QCOMPARE(host.unit->fpga().configured(), configuredAfterRefresh);
    QVERIFY(!host.unit->fpga().backgroundSpiActive());
    QVERIFY(host.spi(hex("9f000000")) != hex("ffef4015"));
}

void TestUsbEmu::linkAccessPattern_data()
{
    QTest::addColumn<QString>("before"); // SPI transactions first
    QTest::addColumn<int>("pauseMs");    // the host's pauses before the transfer
    QTest::addColumn<QByteArray>("mosi");
    QTest::addColumn<QByteArray>("miso");

    QByteArray readCommand = hex("03000100") + QByteArray(1030, '\0');
    QByteArray pattern = hex("ffffffff");
    for (int i = 0; i < 1030; ++i)
        pattern += char(i);
    QTest::newRow("JEDEC ID: one byte chunk and eight bit commands") << "" << 0 << hex("9f000000") << hex("ffef4015");
    QTest::newRow("status of an erasing flash") << "06;d8000000" << 149 << hex("0500") << hex("ff03");
    QTest::newRow("status once the erase time passed") << "06;d8000000" << 150 << hex("0500") << hex("ff00");
    QTest::newRow("read over two byte chunks") << "" << 0 << readCommand << pattern;
}

void TestUsbEmu::linkAccessPattern()
{
    QFETCH(QString, before);
    QFETCH(int, pauseMs);
    QFETCH(QByteArray, mosi);
    QFETCH(QByteArray, miso);
    Host host;
    std::vector<uint8_t> pattern(2048);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = uint8_t(i);
    host.unit->flash().load(0x100, pattern);
    QVERIFY(host.open());
    host.enterBackgroundSpi();
    for (const QString &t : before.split(';', Qt::SkipEmptyParts))
        host.spi(hex(t));
    for (int i = 0; i < pauseMs; ++i)
        host.unit->oneMsPause()();
    QCOMPARE(linkStyleTransfer(host, mosi).toHex(), miso.toHex());
}

void TestUsbEmu::flashSemantics_data()
{
    // A script of SPI transactions in hex ("cmd=answer" checks what came back), "wait MS",
    // "sr XX" (status register must read XX) and "fill ADDR LEN BYTE" (set-up).
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expect"); // ADDR=HEX ... of the flash afterwards

    QTest::newRow("JEDEC ID") << "9f000000=ffef4015"
                              << "";
    QTest::newRow("program only clears bits") << "06;02000010f0;wait 1;06;020000103c;wait 1"
                                              << "10=30";
    QTest::newRow("program needs write enable") << "0200001000;sr 00"
                                                << "10=ff";
    QTest::newRow("latch and busy clear when the page is done") << "sr 00;06;sr 02;0200001000;sr 03;wait 1;sr 00"
                                                                << "10=00";
    QTest::newRow("page program wraps inside its page") << "06;020000fe01020304;wait 1"
                                                        << "fe=0102 0=0304 100=ff";
    QTest::newRow("4 KiB sector erase") << "fill 0 3000 00;06;20001234;sr 03;wait 45;sr 00"
                                        << "fff=00 1000=ff 1fff=ff 2000=00";
    QTest::newRow("32 KiB block erase") << "fill 0 20000 00;06;52009000;wait 120;sr 00"
                                        << "7fff=00 8000=ff ffff=ff 10000=00";
    QTest::newRow("64 KiB block erase") << "fill 0 30000 00;06;d8012345;sr 03;wait 149;sr 03;wait 1;sr 00"
                                        << "ffff=00 10000=ff 1ffff=ff 20000=00";
    QTest::newRow("erase needs write enable") << "fill 0 1000 00;20000000;sr 00"
                                              << "0=00";
    QTest::newRow("erase with a short address is not an erase") << "fill 0 1000 00;06;200000;sr 02"
                                                                << "0=00";
    QTest::newRow("busy: everything but status is ignored")
        << "fill 0 10 00;06;d8000000;06;sr 03;0200002000;9f000000=ffffffff;030000000000=ffffffffffff;wait 150;sr 00"
        << "20=ff 0=ff";
    QTest::newRow("chip erase") << "fill 1ffff0 10 00;06;c7;wait 4999;sr 03;wait 1;sr 00"
                                << "1ffff0=ffff";
    QTest::newRow("read wraps at the end of the array") << "fill 1fffff 1 12;031fffff0000=ffffffff12ff"
                                                        << "";
    QTest::newRow("stuck busy: never ready") << "fault stuck-busy;06;20000000;wait 10000;sr 03"
                                             << "";
    QTest::newRow("flipped bit on read, not in the array")
        << "fill 100 2 5a;fault flip-read=0x101;030001000000=ffffffff5a5b"
        << "100=5a5a";
    QTest::newRow("write disable drops the latch") << "06;04;sr 00;0200000000"
                                                   << "0=ff";
}

void TestUsbEmu::flashSemantics()
{
    QFETCH(QString, script);
    QFETCH(QString, expect);
    Host host;
    QVERIFY(host.open());
    host.enterBackgroundSpi();
    for (const QString &step : script.split(';')) {
        const QStringList w = step.split(' ');
        if (w[0] == "wait") {
            host.unit->pauseMs(w[1].toInt());
        } else if (w[0] == "sr") {
            QCOMPARE(host.spi(hex("0500")).toHex(), "ff" + w[1].toLatin1());
        } else if (w[0] == "fault") {
            FlashFaults &f = host.unit->flash().faults();
            UsbFaults ignored;
            QVERIFY(parseFaults(w[1].toStdString(), ignored, f, nullptr));
        } else if (w[0] == "fill") {
            const std::vector<uint8_t> bytes(w[2].toUInt(nullptr, 16), uint8_t(w[3].toUInt(nullptr, 16)));
            host.unit->flash().load(w[1].toUInt(nullptr, 16), bytes);
        } else {
            const QStringList io = step.split('=');
            const QByteArray got = host.spi(hex(io[0]));
            if (io.size() > 1)
                QCOMPARE(got.toHex(), io[1].toLatin1());
        }
    }
    const std::vector<uint8_t> &mem = host.unit->flash().contents();
    for (const QString &check : expect.split(' ', Qt::SkipEmptyParts)) {
        const uint32_t at = check.section('=', 0, 0).toUInt(nullptr, 16);
        const QByteArray want = hex(check.section('=', 1));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(mem.data()) + at, want.size()).toHex(), want.toHex());
    }
}

void TestUsbEmu::flashFile_data()
{
    QTest::addColumn<QByteArray>("existing"); // file contents before the unit starts; null: no file
    QTest::newRow("absent file: created erased") << QByteArray();
    QTest::newRow("short file: kept and completed erased") << hex("0102030405");
}

void TestUsbEmu::flashFile()
{
    QFETCH(QByteArray, existing);
    QTemporaryDir dir;
    const QString path = dir.filePath("flash.bin");
    if (!existing.isNull()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(existing);
    }
    UnitOptions options;
    options.flashFile = path.toStdString();
    QByteArray expected(SpiNorFlash::Size, char(0xFF));
    expected.replace(0, existing.size(), existing);
    {
        Host host(options);
        QVERIFY(host.unit->flash().fileError().empty());
        QVERIFY(host.open());
        host.enterBackgroundSpi();
        host.spi(hex("06"));
        host.spi(hex("02012300a55a"));
    }
    expected[0x12300] = char(0xA5);
    expected[0x12301] = char(0x5A);
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.size(), qint64(SpiNorFlash::Size));
    QVERIFY(f.readAll() == expected);

    Host again(options); // a new unit on the same file sees the same flash
    QVERIFY(again.open());
    again.enterBackgroundSpi();
    QCOMPARE(again.spi(hex("03000000000000000000")).toHex(), "ffffffff" + expected.left(6).toHex());
    QCOMPARE(again.spi(hex("030123000000")).toHex(), QByteArray("ffffffffa55a"));
}

void TestUsbEmu::transportFaults_data()
{
    QTest::addColumn<QString>("faults");
    QTest::addColumn<int>("product");
    // open / open14 (product 0x6014) / reset / purge / latency? / latency=N / bitmode / write HEX / read N / close
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("results"); // return codes in order
    QTest::addColumn<QString>("error");   // error text after the last call

    QTest::newRow("healthy") << "" << 0x6010 << "open;reset;purge;latency?;latency=1;bitmode;write 81;read 9;close"
                             << "0 0 0 16 0 0 1 1 0"
                             << "";
    QTest::newRow("no device") << "absent" << 0x6010 << "open"
                               << "-3"
                               << "device not found";
    QTest::newRow("second product id") << "" << 0x6014 << "open;open14"
                                       << "-3 0"
                                       << "device not found";
    QTest::newRow("reset refused") << "refuse-reset" << 0x6010 << "open;reset"
                                   << "0 -1"
                                   << "FTDI reset failed";
    QTest::newRow("purge refused") << "refuse-purge" << 0x6010 << "open;purge"
                                   << "0 -1"
                                   << "FTDI purge of RX buffer failed";
    QTest::newRow("latency unreadable") << "refuse-latency-read" << 0x6010 << "open;latency?"
                                        << "0 -1"
                                        << "reading latency timer failed";
    QTest::newRow("latency refused") << "refuse-latency" << 0x6010 << "open;latency=1"
                                     << "0 -2"
                                     << "unable to set latency timer";
    QTest::newRow("MPSSE refused") << "refuse-bitmode" << 0x6010 << "open;bitmode"
                                   << "0 -1"
                                   << "unable to configure bitbang mode. Perhaps not a BM type chip?";
    QTest::newRow("short write") << "short-write=2" << 0x6010 << "open;bitmode;write 818181;read 9"
                                 << "0 0 2 2"
                                 << "";
    QTest::newRow("read error") << "read-error" << 0x6010 << "open;bitmode;write 81;read 1"
                                << "0 0 1 -1"
                                << "usb bulk read failed";
    QTest::newRow("stall: zero bytes forever") << "stall" << 0x6010 << "open;bitmode;write 81;read 1;read 1"
                                               << "0 0 1 0 0"
                                               << "";
    QTest::newRow("short reads") << "read-chunk=1" << 0x6010 << "open;bitmode;write 818181;read 3;read 3;read 3;read 3"
                                 << "0 0 3 1 1 1 0"
                                 << "";
    QTest::newRow("zero reads with data waiting")
        << "zero-read-every=2" << 0x6010 << "open;bitmode;write 8181;read 1;read 1;read 1"
        << "0 0 2 1 0 1"
        << "";
    QTest::newRow("unplugged inside a write")
        << "unplug-after=4" << 0x6010 << "open;bitmode;write 818181;write 8181;read 9;write 81;open"
        << "0 0 3 -1 -1 -1 -3"
        << "device not found";
    QTest::newRow("unplugged right after a write")
        << "unplug-after=3" << 0x6010 << "open;bitmode;write 818181;read 9;latency=1"
        << "0 0 3 -1 -2"
        << "unable to set latency timer";
    QTest::newRow("calls before open") << "" << 0x6010 << "latency=1;write 81;read 1"
                                       << "-3 -666 -666"
                                       << "USB device unavailable";
    QTest::newRow("unknown fault word") << "stall,bogus" << 0x6010 << ""
                                        << ""
                                        << "";
}

void TestUsbEmu::transportFaults()
{
    QFETCH(QString, faults);
    QFETCH(int, product);
    QFETCH(QString, script);
    QFETCH(QString, results);
    QFETCH(QString, error);
    UnitOptions options;
    options.product = uint16_t(product);
    std::string problems;
    const bool parsed = parseFaults(faults.toStdString(), options.faults, options.flashFaults, &problems);
    QCOMPARE(parsed, !faults.contains("bogus"));
    if (!parsed) {
        QCOMPARE(QString::fromStdString(problems), QString("unknown fault 'bogus'"));
        return;
    }
    Host host(options);
    const EmulatedTimeClock clock(host.unit->sharedClock());
    const qint64 start = clock.nowMs();
    EmulatedFtdi &f = host.ftdi;
    f.init();
    QStringList got;
    for (const QString &step : script.split(';')) {
        const QString arg = step.section(' ', 1);
        int rc = 0;
        if (step == "open" || step == "open14") {
            rc = f.open(0x0403, step == "open" ? 0x6010 : 0x6014);
        } else if (step == "reset") {
            rc = f.usbReset();
        } else if (step == "purge") {
            rc = f.purgeBuffers();
        } else if (step == "latency?") {
            unsigned char latency = 0;
            rc = f.getLatencyTimer(&latency);
            rc = rc < 0 ? rc : latency;
        } else if (step.startsWith("latency=")) {
            rc = f.setLatencyTimer(uint8_t(step.mid(8).toInt()));
        } else if (step == "bitmode") {
            rc = f.setBitmode(0xFF, FtdiTransport::BitmodeMpsse);
        } else if (step.startsWith("write")) {
            const QByteArray bytes = hex(arg);
            rc = f.writeData(reinterpret_cast<const unsigned char *>(bytes.constData()), bytes.size());
        } else if (step.startsWith("read")) {
            QByteArray buf(arg.toInt(), '\0');
            rc = f.readData(reinterpret_cast<unsigned char *>(buf.data()), buf.size());
        } else if (step == "close") {
            rc = f.close();
        }
        got << QString::number(rc);
    }
    QCOMPARE(got.join(' '), results);
    QCOMPARE(QString(f.errorString()), error);
    if (faults == "stall") {
        // A run of empty reads is recorded as one line with its count; each one waited for the
        // latency timer (16 ms at power-on) in the unit's time, which the client's clock shares.
        QCOMPARE(QString::fromStdString(host.unit->calls().back()), QString("A read 1 = 0 (x2)"));
        QCOMPARE(clock.nowMs() - start, qint64(32));
    }
}

void TestUsbEmu::consoleChannel()
{
    auto unit = std::make_shared<EmulatedUnit>();
    EmulatedFtdi console(unit), jtag(unit);
    jtag.setInterface(FtdiTransport::InterfaceA);
    console.setInterface(FtdiTransport::InterfaceB);
    QCOMPARE(jtag.open(0x0403, 0x6010), 0);
    QCOMPARE(console.open(0x0403, 0x6010), 0);
    EmulatedFtdi second(unit); // a channel is claimed by one handle at a time
    second.setInterface(FtdiTransport::InterfaceB);
    QCOMPARE(second.open(0x0403, 0x6010), -5);
    QCOMPARE(console.setBaudRate(115200), 0);

    // The chip buffers what the unit sends up to its receive buffer; the rest is lost.
    unit->consoleSend(std::vector<uint8_t>(5000, 'x'));
    QByteArray got(8192, '\0');
    QCOMPARE(console.readData(reinterpret_cast<unsigned char *>(got.data()), got.size()), 4096);
    QCOMPARE(int(unit->consoleLost()), 904);
    const QByteArray line = "help\r";
    QCOMPARE(console.writeData(reinterpret_cast<const unsigned char *>(line.constData()), line.size()), 5);
    const std::vector<uint8_t> sent = unit->consoleReceived();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(sent.data()), int(sent.size())), line);
}

QTEST_MAIN(TestUsbEmu)
#include "tst_usbemu.moc"
