// The simulated radio without sockets: what front-panel bytes do to it, what its
// screen shows for that, the stream's pixel format, its access file and options.
#include "RadioAccessFile.h"
#include "RadioState.h"
#include "ScreenRenderer.h"
#include "SimOptions.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

uint16_t pixelAt(const QByteArray &frame, int x, int y)
{
    const int i = (y * ScreenRenderer::Width + x) * 2;
    return uint16_t(uint8_t(frame.at(i)) | uint8_t(frame.at(i + 1)) << 8);
}

// Bounding box of the pixels that differ between two frames.
QRect changedArea(const QByteArray &a, const QByteArray &b)
{
    QRect box;
    for (int y = 0; y < ScreenRenderer::Height; ++y)
        for (int x = 0; x < ScreenRenderer::Width; ++x)
            if (pixelAt(a, x, y) != pixelAt(b, x, y))
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class TestSimModel : public QObject
{
    Q_OBJECT
private slots:
    void busBytesChangeTheRadio_data();
    void busBytesChangeTheRadio();
    void inputShowsOnlyWhereExpected_data();
    void inputShowsOnlyWhereExpected();
    void frameIsDeterministicAndWaterfallScrolls();
    void pixelsAreLittleEndianRgb565();
    void accessFile_data();
    void accessFile();
    void options_data();
    void options();
    void commandLine_data();
    void commandLine();
};

void TestSimModel::busBytesChangeTheRadio_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("effects");
    QTest::addColumn<bool>("touching");
    QTest::addColumn<QPoint>("touch");
    QTest::addColumn<int>("volume");
    QTest::addColumn<int>("rfSql");
    QTest::addColumn<bool>("notch");
    QTest::addColumn<int>("held");

    const RadioState d;
    QTest::newRow("touch 480,272") << hex("fe130001e00110fd") << 1 << true << QPoint(480, 272) << int(d.volume)
                                   << int(d.rfSql) << false << 0;
    QTest::newRow("touch then release") << hex("fe1300003c0050fd fe1300270f270ffd") << 2 << false << QPoint(60, 80)
                                        << int(d.volume) << int(d.rfSql) << false << 0;
    QTest::newRow("volume 128") << hex("fe1e80fd") << 1 << false << QPoint() << 128 << int(d.rfSql) << false << 0;
    // 0xFD inside a frame is data, not its end.
    QTest::newRow("volume 253") << hex("fe1efdfd") << 1 << false << QPoint() << 253 << int(d.rfSql) << false << 0;
    QTest::newRow("rf/sql 0") << hex("fe1f00fd") << 1 << false << QPoint() << int(d.volume) << 0 << false << 0;
    QTest::newRow("notch press") << hex("fe0e02fd") << 1 << false << QPoint() << int(d.volume) << int(d.rfSql) << true
                                 << 0x0E02;
    QTest::newRow("notch press and release")
        << hex("fe0e02fdfe0e00fd") << 2 << false << QPoint() << int(d.volume) << int(d.rfSql) << true << 0;
    QTest::newRow("notch twice toggles off") << hex("fe0e02fdfe0e00fdfe0e02fdfe0e00fd") << 4 << false << QPoint()
                                             << int(d.volume) << int(d.rfSql) << false << 0;
    QTest::newRow("garbage around frames")
        << hex("0011fe1e10fdaafe") << 1 << false << QPoint() << 0x10 << int(d.rfSql) << false << 0;
    QTest::newRow("truncated touch ignored")
        << hex("fe130001e0fd") << 0 << false << QPoint() << int(d.volume) << int(d.rfSql) << false << 0;
    QTest::newRow("unknown key mask ignored")
        << hex("fe1003fd") << 0 << false << QPoint() << int(d.volume) << int(d.rfSql) << false << 0;
}

void TestSimModel::busBytesChangeTheRadio()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, effects);
    QFETCH(bool, touching);
    QFETCH(QPoint, touch);
    QFETCH(int, volume);
    QFETCH(int, rfSql);
    QFETCH(bool, notch);
    QFETCH(int, held);

    RadioState s;
    QCOMPARE(applyBusBytes(s, bytes).size(), effects);
    QCOMPARE(s.touching, touching);
    if (touching || !touch.isNull())
        QCOMPARE(s.touch, touch);
    QCOMPARE(int(s.volume), volume);
    QCOMPARE(int(s.rfSql), rfSql);
    QCOMPARE(s.isLatched(0x0E02), notch);
    QCOMPARE(int(s.heldKey), held);
}

void TestSimModel::inputShowsOnlyWhereExpected_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("mainDial");
    QTest::addColumn<int>("multiDial");
    QTest::addColumn<QRect>("area");

    QTest::newRow("NOTCH indicator") << hex("fe0e02fdfe0e00fd") << 0 << 0 << ScreenRenderer::indicatorRect(0x0E02);
    QTest::newRow("SPLIT indicator") << hex("fe0f80fdfe0f00fd") << 0 << 0 << ScreenRenderer::indicatorRect(0x0F80);
    QTest::newRow("volume bar") << hex("fe1ec8fd") << 0 << 0 << ScreenRenderer::volumeBarRect();
    QTest::newRow("rf/sql bar") << hex("fe1f08fd") << 0 << 0 << ScreenRenderer::rfSqlBarRect();
    QTest::newRow("touch mark") << hex("fe130000c80028fd") << 0 << 0 << QRect(190, 30, 21, 21);
    QTest::newRow("multi dial readout") << QByteArray() << 0 << 7 << ScreenRenderer::dialReadoutRect();
    // Tuning moves the digits, the stations in the spectrum and the waterfall.
    QTest::newRow("main dial") << QByteArray() << 100 << 0
                               << (ScreenRenderer::frequencyRect() | ScreenRenderer::spectrumRect() |
                                   ScreenRenderer::waterfallRect() | QRect(16, 78, 200, 8));
}

void TestSimModel::inputShowsOnlyWhereExpected()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, mainDial);
    QFETCH(int, multiDial);
    QFETCH(QRect, area);

    const RadioState before;
    RadioState after;
    applyBusBytes(after, bytes);
    after.frequencyHz += uint64_t(mainDial * kMainDialStepHz);
    after.multiDial += multiDial;
    const QByteArray a = renderFrame(before, 1234);
    const QByteArray b = renderFrame(after, 1234);
    const QRect changed = changedArea(a, b);
    QVERIFY2(!changed.isEmpty(), "the input must be visible");
    QVERIFY2(area.contains(changed), qPrintable(QStringLiteral("changed %1,%2 %3x%4")
                                                    .arg(changed.x())
                                                    .arg(changed.y())
                                                    .arg(changed.width())
                                                    .arg(changed.height())));
}

void TestSimModel::frameIsDeterministicAndWaterfallScrolls()
{
    RadioState s;
    const QByteArray f1 = renderFrame(s, 65535);
    QCOMPARE(f1.size(), ScreenRenderer::FrameBytes);
    QCOMPARE(renderFrame(s, 65535), f1);
    const QByteArray f2 = renderFrame(s, 0); // the frame after 65535
    QVERIFY(f1 != f2);
    const QRect wf = ScreenRenderer::waterfallRect();
    for (int y = wf.top(); y < wf.bottom(); ++y) {
        const QByteArray older = f1.mid(y * ScreenRenderer::LineBytes, ScreenRenderer::LineBytes);
        const QByteArray newer = f2.mid((y + 1) * ScreenRenderer::LineBytes, ScreenRenderer::LineBytes);
        QCOMPARE(newer, older);
    }
    // The newest waterfall line is new.
    QVERIFY(f1.mid(wf.top() * ScreenRenderer::LineBytes, ScreenRenderer::LineBytes) !=
            f2.mid(wf.top() * ScreenRenderer::LineBytes, ScreenRenderer::LineBytes));
}

void TestSimModel::pixelsAreLittleEndianRgb565()
{
    RadioState s;
    applyBusBytes(s, hex("fe130000c80028fd")); // touch at 200,40: magenta cross
    const QByteArray f = renderFrame(s, 1);
    const int i = (40 * ScreenRenderer::Width + 200) * 2;
    QCOMPARE(uint8_t(f.at(i)), uint8_t(0x1F));
    QCOMPARE(uint8_t(f.at(i + 1)), uint8_t(0xF8));
    RadioState off;
    off.powered = false;
    QCOMPARE(renderFrame(off, 1), QByteArray(ScreenRenderer::FrameBytes, '\0'));
}

void TestSimModel::accessFile_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value") << QByteArray("123456789") << 0xF4;
    QTest::newRow("abc") << QByteArray("abc") << 0x5F;
    QTest::newRow("empty") << QByteArray() << 0x00;
}

void TestSimModel::accessFile()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QCOMPARE(int(RadioAccessFile::crc8(data)), crc);

    QTemporaryDir dir;
    const QString path = dir.filePath("radioAccessFile.txt");
    const QByteArray key = hex("000102030405060708090a0b0c0d0eff");
    QVERIFY(RadioAccessFile::write(path, key));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray content = f.readAll();
    QCOMPARE(content.size(), 34);
    QCOMPARE(content.left(32), QByteArray("000102030405060708090A0B0C0D0EFF"));
    QCOMPARE(QByteArray::fromHex(content.mid(32)), QByteArray(1, char(RadioAccessFile::crc8(key))));
    QVERIFY(!RadioAccessFile::write(dir.filePath("missing/dir/file.txt"), key));
}

void TestSimModel::options_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("check"); // field=value of the parsed options

    QTest::newRow("defaults") << QStringList{} << true << "divisor=0";
    QTest::newRow("divisor") << QStringList{"--divisor", "59"} << true << "divisor=59";
    QTest::newRow("stream-to") << QStringList{"--stream-to", "127.0.0.1"} << true << "streamTo=127.0.0.1";
    QTest::newRow("stream-to not an address") << QStringList{"--stream-to", "nowhere"} << false << "";
    QTest::newRow("loss above 100") << QStringList{"--loss", "101"} << false << "";
    QTest::newRow("first frame") << QStringList{"--first-frame", "65535"} << true << "firstFrame=65535";
    QTest::newRow("first frame too big") << QStringList{"--first-frame", "65536"} << false << "";
    QTest::newRow("key") << QStringList{"--key", "00112233445566778899AABBCCDDEEFF"} << true
                         << "key=00112233445566778899aabbccddeeff";
    QTest::newRow("key too short") << QStringList{"--key", "0011"} << false << "";
    QTest::newRow("key not hex") << QStringList{"--key", "zz112233445566778899aabbccddeeff"} << false << "";
    QTest::newRow("keepalive") << QStringList{"--keepalive-timeout", "1.5"} << true << "keepalive=1.5";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << false << "";
    QTest::newRow("stray argument") << QStringList{"extra"} << false << "";
}

void TestSimModel::options()
{
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QString, check);
    SimOptions o;
    QString message;
    QCOMPARE(SimOptions::parse(QStringList{"vq6020-sim"} + args, o, message), ok);
    if (!ok) {
        QVERIFY(!message.isEmpty());
        return;
    }
    QCOMPARE(o.key.size(), 16);
    const QString field = check.section('=', 0, 0);
    const QString value = check.section('=', 1);
    if (field == "divisor")
        QCOMPARE(QString::number(o.divisor), value);
    else if (field == "streamTo")
        QCOMPARE(o.streamTo.toString(), value);
    else if (field == "firstFrame")
        QCOMPARE(QString::number(o.firstFrame), value);
    else if (field == "key")
        QCOMPARE(QString::fromLatin1(o.key.toHex()), value);
    else if (field == "keepalive")
        QCOMPARE(o.keepaliveTimeout, value.toDouble());
    else
        QFAIL("unknown check");
}

void TestSimModel::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("printed");

    QTest::newRow("help lists every option")
        << QStringList{"--help"} << 0 << QStringList{"--stream-to ADDR",   "--divisor N",
                                                     "--loss PERCENT",     "--shuffle",
                                                     "--seconds S",        "--first-frame N",
                                                     "--key HEX",          "--write-raf FILE",
                                                     "--drop-acks",        "--close-after-handshake",
                                                     "--provision-client", "--keepalive-timeout S",
                                                     "--stall-after S",    "--dump-frames DIR"};
    QTest::newRow("runs for --seconds") << QStringList{"--no-control", "--no-mdns", "--seconds", "0.3"} << 0
                                        << QStringList{"vq6020-sim ready"};
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QStringList{"bogus", "Usage: vq6020-sim"};
    QTest::newRow("bad divisor") << QStringList{"--divisor", "x"} << 2 << QStringList{"Bad value for --divisor: x"};
    QTest::newRow("access file not writable")
        << QStringList{"--no-control", "--no-mdns", "--write-raf", "/nonexistent/dir/raf.txt"} << 1
        << QStringList{"Cannot write radio access file /nonexistent/dir/raf.txt"};
}

void TestSimModel::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QStringList, printed);
    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(qEnvironmentVariable("VQ6020_SIM"), args);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), exitCode);
    const QString out = QString::fromLocal8Bit(sim.readAll());
    for (const QString &text : printed)
        QVERIFY2(out.contains(text), qPrintable(text + " missing in:\n" + out));
}

QTEST_MAIN(TestSimModel)
#include "tst_sim_model.moc"
