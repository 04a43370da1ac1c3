// The simulated unit's control port, driven by OpenSSL's s_client (a peer
// nobody here wrote) and by the client's own TLS socket: answers, reports,
// serial traffic, stream control, front-panel effects on its screen, the power
// key, fault switches and client provisioning.
#include "RadioState.h"
#include "ScreenRenderer.h"
#include "SimOptions.h"
#include "StreamReceiver.h"
#include "UnitClient.h"
#include "app/SettingsKeys.h"
#include "link/PylonController.h"
#include "support/SimProcess.h"

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using R = PylonController;
const QByteArray kKey = SimOptions::defaultKey();
const QStringList kQuiet{"--no-mdns", "--serial-interval", "60000"};

QByteArray region(const QByteArray &frame, const QRect &r)
{
    QByteArray out;
    for (int y = r.top(); y <= r.bottom(); ++y)
        out += frame.mid((y * ScreenRenderer::Width + r.left()) * 2, r.width() * 2);
    return out;
}

} // namespace

class TestSimControl : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void openSslClient_data();
    void openSslClient();
    void streamControl_data();
    void streamControl();
    void frameRateFollowsDivisor_data();
    void frameRateFollowsDivisor();
    void inputShowsOnScreen_data();
    void inputShowsOnScreen();
    void touchIsReportedOnLtxd();
    void powerKeyToggles();
    void faultSwitches_data();
    void faultSwitches();
    void oversizedRequestClosesConnection();
    void stalledStreamKeepsControl();
    void registerReportsGoToOtherClients();
    void provisionsClientAndWritesAccessFile();
};

void TestSimControl::initTestCase()
{
    QVERIFY(!SimProcess::executable().isEmpty());
    QVERIFY2(!QStandardPaths::findExecutable("openssl").isEmpty(), "openssl is needed as the independent peer");
}

void TestSimControl::openSslClient_data()
{
    QTest::addColumn<QByteArray>("clientKey");
    QTest::addColumn<QByteArray>("send");
    QTest::addColumn<QByteArray>("expect");    // must appear in the output
    QTest::addColumn<QByteArray>("forbidden"); // must not

    QTest::newRow("read ctrl_scratch") << kKey
                                       << QByteArray::fromHex("0c0805100122060884808080"
                                                              "0f")
                                       << QByteArray::fromHex("1008051a0c08848080800f10f8acd19101") << QByteArray();
    QTest::newRow("divisor write acked") << kKey
                                         << QByteArray::fromHex("0e080710011a08088"
                                                                "4b080800f1001")
                                         << QByteArray::fromHex("0408071200") << QByteArray();
    // No acknowledgement asked: none comes, but the radio reports the touch with
    // Y counted from the bottom (272 - 72 = 200).
    QTest::newRow("inject touch") << kKey
                                  << QByteArray::fromHex("0e0809100032"
                                                         "08fe1300006400"
                                                         "48fd")
                                  << QByteArray::fromHex("0c08002208fe130000640"
                                                         "0c8fd")
                                  << QByteArray::fromHex("0408091200");
    QTest::newRow("wrong key") << QByteArray::fromHex("00112233445566778899aabbccddeeff")
                               << QByteArray::fromHex("0c0805100122060884808080"
                                                      "0f")
                               << QByteArray() << QByteArray::fromHex("0805");
}

void TestSimControl::openSslClient()
{
    QFETCH(QByteArray, clientKey);
    QFETCH(QByteArray, send);
    QFETCH(QByteArray, expect);
    QFETCH(QByteArray, forbidden);

    SimProcess sim;
    QVERIFY(sim.start(kQuiet));
    QProcess client;
    client.start("openssl",
                 {"s_client", "-quiet", "-psk", QString::fromLatin1(clientKey.toHex()), "-psk_identity", "PSK_identity",
                  "-tls1_2", "-cipher", "PSK-AES128-GCM-SHA256", "-connect", "127.0.0.1:4242"});
    QVERIFY(client.waitForStarted());
    client.write(send);
    QByteArray out;
    (void)QTest::qWaitFor(
        [&]() {
            out += client.readAllStandardOutput();
            return (!expect.isEmpty() && out.contains(expect)) || client.state() == QProcess::NotRunning;
        },
        4000);
    QTest::qWait(300); // anything that should not come would come now
    out += client.readAllStandardOutput();
    client.kill();
    client.waitForFinished();
    if (!expect.isEmpty())
        QVERIFY2(out.contains(expect), out.toHex(' ').constData());
    else
        QVERIFY2(out.isEmpty(), out.toHex(' ').constData());
    if (!forbidden.isEmpty())
        QVERIFY2(!out.contains(forbidden), out.toHex(' ').constData());
}

void TestSimControl::streamControl_data()
{
    QTest::addColumn<int>("repeatMs");       // keep-alive period, 0 = none
    QTest::addColumn<bool>("stopWithZero");  // write 0 after 600 ms
    QTest::addColumn<bool>("streamingAt2s"); // still streaming 2 s after the start

    QTest::newRow("keep-alive lapses after 1 s") << 0 << false << false;
    QTest::newRow("repetition keeps it on") << 400 << false << true;
    QTest::newRow("write of 0 stops it") << 400 << true << false;
}

void TestSimControl::streamControl()
{
    QFETCH(int, repeatMs);
    QFETCH(bool, stopWithZero);
    QFETCH(bool, streamingAt2s);

    StreamReceiver rx;
    QVERIFY(rx.bind());
    SimProcess sim;
    QVERIFY(sim.start(kQuiet + QStringList{"--keepalive-timeout", "1"}));
    UnitClient c;
    QVERIFY(c.open(kKey));
    QTest::qWait(300);
    QCOMPARE(rx.datagrams(), 0); // nothing before the start write
    QElapsedTimer t;
    t.start();
    QVERIFY(c.waitForAck(c.write(R::dc_capture_control_csr, 550000000)));
    QVERIFY(rx.waitForFrames(10));
    qint64 lastRepeat = 0;
    bool stopped = false;
    while (t.elapsed() < 2000) {
        if (repeatMs && !stopped && t.elapsed() - lastRepeat >= repeatMs) {
            c.write(R::dc_capture_control_csr, 550000000);
            lastRepeat = t.elapsed();
        }
        if (stopWithZero && !stopped && t.elapsed() >= 600) {
            QVERIFY(c.waitForAck(c.write(R::dc_capture_control_csr, 0)));
            stopped = true;
        }
        QTest::qWait(20);
    }
    QCOMPARE(rx.msSinceLastDatagram() < 200, streamingAt2s);
    const qint64 lastDatagramAt = t.elapsed() - rx.msSinceLastDatagram();
    if (!streamingAt2s && !stopWithZero) {
        // It kept going for the keep-alive time of 1 s, not much less (a loaded machine may hold the
        // last datagrams of a frame back a little).
        QVERIFY2(lastDatagramAt >= 700 && lastDatagramAt <= 1800, qPrintable(QString::number(lastDatagramAt)));
        QVERIFY(sim.output().contains("Transmit not refreshed for 1 s, stream stopped"));
    }
    if (stopWithZero)
        QVERIFY2(lastDatagramAt >= 400 && lastDatagramAt <= 1500, qPrintable(QString::number(lastDatagramAt)));
}

void TestSimControl::frameRateFollowsDivisor_data()
{
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<double>("fps");
    QTest::newRow("0: 60 fps") << 0u << 60.0;
    QTest::newRow("1: 30 fps") << 1u << 30.0;
    QTest::newRow("5: 10 fps") << 5u << 10.0;
}

void TestSimControl::frameRateFollowsDivisor()
{
    QFETCH(uint, divisor);
    QFETCH(double, fps);
    StreamReceiver rx;
    QVERIFY(rx.bind());
    SimProcess sim;
    QVERIFY(sim.start(kQuiet));
    UnitClient c;
    QVERIFY(c.open(kKey));
    QVERIFY(c.waitForAck(c.write(R::dc_capture_frame_divisor_csr, divisor)));
    QVERIFY(c.waitForAck(c.write(R::dc_capture_control_csr, 550000000)));
    QVERIFY(rx.waitForFrames(2));
    const double measured = rx.measureFps(1500);
    // Never faster than asked; on a starved host it may fall behind, but not to
    // the next slower rate.
    QVERIFY2(measured <= fps * 1.1 + 1 && measured >= fps * 0.6 - 1, qPrintable(QString::number(measured)));
}

void TestSimControl::inputShowsOnScreen_data()
{
    QTest::addColumn<QByteArray>("inject");
    QTest::addColumn<uint>("dialRegister");
    QTest::addColumn<int>("dialValue");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<bool>("changes");

    QTest::newRow("NOTCH on") << QByteArray::fromHex("fe0e02fd") << 0u << 0 << ScreenRenderer::indicatorRect(0x0E02)
                              << true;
    QTest::newRow("NOTCH on and off again") << QByteArray::fromHex("fe0e02fdfe0e00fdfe0e02fdfe0e00fd") << 0u << 0
                                            << ScreenRenderer::indicatorRect(0x0E02) << false;
    QTest::newRow("volume 200") << QByteArray::fromHex("fe1ec8fd") << 0u << 0 << ScreenRenderer::volumeBarRect()
                                << true;
    QTest::newRow("rf/sql 20") << QByteArray::fromHex("fe1f14fd") << 0u << 0 << ScreenRenderer::rfSqlBarRect() << true;
    QTest::newRow("touch") << QByteArray::fromHex("fe130000c80028fd") << 0u << 0 << QRect(190, 30, 21, 21) << true;
    QTest::newRow("main dial +100") << QByteArray() << uint(R::db_main_dial_encoder) << 100
                                    << ScreenRenderer::frequencyRect() << true;
    QTest::newRow("main dial -3") << QByteArray() << uint(R::db_main_dial_encoder) << -3
                                  << ScreenRenderer::frequencyRect() << true;
    QTest::newRow("multi dial") << QByteArray() << uint(R::db_multi_dial_encoder) << 7
                                << ScreenRenderer::dialReadoutRect() << true;
    QTest::newRow("outer pass-band") << QByteArray() << uint(R::db_bpf_out_encoder) << 40
                                     << ScreenRenderer::dialReadoutRect() << true;
}

void TestSimControl::inputShowsOnScreen()
{
    QFETCH(QByteArray, inject);
    QFETCH(uint, dialRegister);
    QFETCH(int, dialValue);
    QFETCH(QRect, area);
    QFETCH(bool, changes);

    StreamReceiver rx;
    QVERIFY(rx.bind());
    SimProcess sim;
    QVERIFY(sim.start(kQuiet));
    UnitClient c;
    QVERIFY(c.open(kKey));
    QVERIFY(c.waitForAck(c.write(R::dc_capture_control_csr, 550000000)));
    QVERIFY(rx.waitForFrames(3));
    const QByteArray before = region(rx.latestFrame(), area);

    RadioState expected;
    if (!inject.isEmpty()) {
        c.inject(inject);
        applyBusBytes(expected, inject);
    }
    if (dialRegister) {
        c.write(dialRegister, uint32_t(dialValue), false);
        if (dialRegister == R::db_main_dial_encoder)
            expected.frequencyHz += uint64_t(int64_t(dialValue) * kMainDialStepHz);
        else if (dialRegister == R::db_multi_dial_encoder)
            expected.multiDial = dialValue;
        else if (dialRegister == R::db_bpf_out_encoder)
            expected.bpfOuter = dialValue;
    }
    // A read after the input is answered after it was applied.
    const int mark = c.valueCount();
    c.read(R::ctrl_scratch);
    QVERIFY(c.waitForValue(R::ctrl_scratch, nullptr, 3000, mark));
    QVERIFY(rx.waitForFrames(3));
    const QByteArray shown = rx.latestFrame();
    const QByteArray want = renderFrame(expected, rx.latestFrameNumber());
    QCOMPARE(region(shown, area), region(want, area));
    QCOMPARE(region(shown, area) != before, changes);
}

void TestSimControl::touchIsReportedOnLtxd()
{
    SimProcess sim;
    QVERIFY(sim.start({"--no-mdns", "--serial-interval", "100"}));
    UnitClient c;
    QVERIFY(c.open(kKey));
    c.inject(QByteArray::fromHex("fe130001e00110fd")); // 480,272: raw Y 0
    c.inject(QByteArray::fromHex("fe1300270f270ffd"));
    QVERIFY(QTest::qWaitFor([&]() { return c.ltxd().contains(QByteArray::fromHex("fe130001e00000fd")); }, 3000));
    QVERIFY(QTest::qWaitFor([&]() { return c.ltxd().contains(QByteArray::fromHex("fe1300270f270ffd")); }, 3000));
    QVERIFY(c.ltxd().indexOf(QByteArray::fromHex("fe130001e00000fd")) <
            c.ltxd().indexOf(QByteArray::fromHex("fe1300270f270ffd")));
    // The radio's own chatter: known LRXD messages (FE 01 xx FD) keep coming.
    QVERIFY(QTest::qWaitFor([&]() { return c.lrxd().count(QByteArray::fromHex("fe01")) >= 3; }, 3000));
    QVERIFY(c.lrxd().startsWith(char(0xFE)) && c.lrxd().endsWith(char(0xFD)));
}

void TestSimControl::powerKeyToggles()
{
    StreamReceiver rx;
    QVERIFY(rx.bind());
    SimProcess sim;
    QVERIFY(sim.start({"--no-mdns", "--serial-interval", "50"}));
    UnitClient c;
    QVERIFY(c.open(kKey));
    uint32_t sense = 99;
    QVERIFY(c.waitForValue(R::da_host_sense, &sense));
    QCOMPARE(sense, 0u);
    QVERIFY(c.waitForAck(c.write(R::dc_capture_control_csr, 550000000)));
    QVERIFY(rx.waitForFrames(5));

    int mark = c.valueCount();
    c.write(R::da_pwrk_click, 27500000);
    QVERIFY(c.waitForValue(R::da_host_sense, &sense, 3000, mark));
    QCOMPARE(sense, 1u);
    QVERIFY(rx.waitForSilence(300));
    const int framesOff = rx.frames();
    const int serialOff = c.lrxd().size() + c.ltxd().size();
    QTest::qWait(500);
    QCOMPARE(rx.frames(), framesOff);
    QCOMPARE(c.lrxd().size() + c.ltxd().size(), serialOff);

    mark = c.valueCount();
    c.write(R::da_pwrk_click, 27500000);
    QVERIFY(c.waitForValue(R::da_host_sense, &sense, 3000, mark));
    QCOMPARE(sense, 0u);
    QVERIFY(rx.waitForFrames(5));
    QVERIFY(QTest::qWaitFor([&]() { return c.lrxd().size() + c.ltxd().size() > serialOff; }, 2000));
    // Any other value written there is not a key press.
    mark = c.valueCount();
    QVERIFY(c.waitForAck(c.write(R::da_pwrk_click, 1)));
    QVERIFY(!c.waitForValue(R::da_host_sense, nullptr, 300, mark));
}

void TestSimControl::faultSwitches_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<bool>("handshake");
    QTest::addColumn<bool>("acked");
    QTest::addColumn<bool>("staysConnected");

    const QByteArray wrong = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    QTest::newRow("normal") << QStringList{} << kKey << true << true << true;
    QTest::newRow("--drop-acks") << QStringList{"--drop-acks"} << kKey << true << false << true;
    QTest::newRow("--close-after-handshake")
        << QStringList{"--close-after-handshake"} << kKey << true << false << false;
    QTest::newRow("wrong key") << QStringList{} << wrong << false << false << false;
    QTest::newRow("--key of the unit") << QStringList{"--key", QString::fromLatin1(wrong.toHex())} << wrong << true
                                       << true << true;
}

void TestSimControl::faultSwitches()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, key);
    QFETCH(bool, handshake);
    QFETCH(bool, acked);
    QFETCH(bool, staysConnected);

    SimProcess sim;
    QVERIFY(sim.start(kQuiet + args));
    UnitClient c;
    QCOMPARE(c.open(key), handshake);
    QCOMPARE(c.badCredentials(), handshake ? 0 : 1);
    const uint32_t counter = c.write(R::ctrl_scratch, 42);
    QCOMPARE(c.waitForAck(counter, 1500), acked);
    QCOMPARE(c.isConnected(), staysConnected);
    if (args.contains("--drop-acks")) {
        // Nothing unasked either: a register report would count as an acknowledgement.
        QCOMPARE(c.valueCount(), 0);
    }
    if (staysConnected) {
        // Reads are answered even when acknowledgements are dropped.
        uint32_t value = 0;
        const int mark = c.valueCount();
        c.read(R::ctrl_scratch);
        QVERIFY(c.waitForValue(R::ctrl_scratch, &value, 3000, mark));
        QCOMPARE(value, 42u);
    }
}

void TestSimControl::oversizedRequestClosesConnection()
{
    SimProcess sim;
    QVERIFY(sim.start(kQuiet));
    UnitClient c;
    QVERIFY(c.open(kKey));
    c.socket().writeEncrypted(QByteArray(1, char(45)) + QByteArray(45, '\x08'));
    QVERIFY(c.waitForDisconnect());
    QVERIFY(sim.waitForOutput("Control connection 1 closed"));
    // The unit carries on and serves the next client.
    UnitClient next;
    QVERIFY(next.open(kKey));
    QVERIFY(next.waitForAck(next.write(R::ctrl_scratch, 1)));
}

void TestSimControl::stalledStreamKeepsControl()
{
    StreamReceiver rx;
    QVERIFY(rx.bind());
    SimProcess sim;
    QVERIFY(sim.start(kQuiet + QStringList{"--stall-after", "0.5"}));
    UnitClient c;
    QVERIFY(c.open(kKey));
    QVERIFY(c.waitForAck(c.write(R::dc_capture_control_csr, 550000000)));
    QVERIFY(rx.waitForFrames(10));
    QVERIFY(rx.waitForSilence(400, 3000));
    const int frames = rx.frames();
    QVERIFY(c.waitForAck(c.write(R::dc_capture_control_csr, 550000000)));
    QTest::qWait(400);
    QCOMPARE(rx.frames(), frames);
    QVERIFY(c.isConnected());
}

void TestSimControl::registerReportsGoToOtherClients()
{
    SimProcess sim;
    QVERIFY(sim.start(kQuiet + QStringList{"--flash-crc", "DEADBEEF"}));
    UnitClient a;
    UnitClient b;
    QVERIFY(a.open(kKey));
    QVERIFY(b.open(kKey));
    // On connection each client hears the unit's own values.
    uint32_t crc = 0;
    QVERIFY(b.waitForValue(R::da_flash_crc, &crc));
    QCOMPARE(crc, 0xDEADBEEFu);
    QVERIFY(a.waitForValue(R::dc_capture_app_handle, nullptr));
    QTest::qWait(200);
    const int markA = a.valueCount();
    const int markB = b.valueCount();

    a.write(R::db_main_dial_encoder, 5, false);
    a.write(R::dc_capture_app_handle, 0x1234ABCD, false);
    uint32_t v = 0;
    QVERIFY(b.waitForValue(R::db_main_dial_encoder, &v, 3000, markB));
    QCOMPARE(v, 5u);
    QVERIFY(b.waitForValue(R::dc_capture_app_handle, &v, 3000, markB));
    QCOMPARE(v, 0x1234ABCDu);
    // A dial position comes back to its writer too, late, as a real unit's polling
    // reports it; other registers the writer already knows are not echoed.
    QVERIFY(a.waitForValue(R::db_main_dial_encoder, &v, 3000, markA));
    QCOMPARE(v, 5u);
    QVERIFY(!a.waitForValue(R::dc_capture_app_handle, nullptr, 300, markA));
    // Writing the same value again is no change and not reported.
    const int markB2 = b.valueCount();
    a.write(R::db_main_dial_encoder, 5, false);
    QVERIFY(!b.waitForValue(R::db_main_dial_encoder, nullptr, 300, markB2));
    // Registers outside the reported set are only answered when read.
    a.write(R::timer0_load, 77, false);
    QVERIFY(!b.waitForValue(R::timer0_load, nullptr, 300, markB2));
}

void TestSimControl::provisionsClientAndWritesAccessFile()
{
    QTemporaryDir dir;
    const QString raf = dir.filePath("radioAccessFile.txt");
    const QByteArray key = QByteArray::fromHex("0f1e2d3c4b5a69788796a5b4c3d2e1f0");
    {
        QSettings settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        settings.clear();
    }
    SimProcess sim;
    QVERIFY(sim.start({"--no-control", "--no-mdns", "--provision-client", "--write-raf", raf, "--key",
                       QString::fromLatin1(key.toHex())}));
    QVERIFY(sim.output().contains("Provisioned the client"));
    QSettings settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    QCOMPARE(settings.value(SettingsKeys::kNetPsk).toByteArray(), key);
    QCOMPARE(settings.value(QString::fromLatin1(SettingsKeys::kConnectPrioChecked).arg("LOC_IP")).toBool(), true);
    QCOMPARE(settings.value(QString::fromLatin1(SettingsKeys::kConnectPrioExtended).arg("LOC_IP")).toString(),
             QStringLiteral("127.0.0.1"));
    QFile f(raf);
    QVERIFY(f.open(QIODevice::ReadOnly));
    // CRC-8/SMBUS of this key, computed with an independent implementation: 0xD8.
    QCOMPARE(f.readAll(), QByteArray("0F1E2D3C4B5A69788796A5B4C3D2E1F0D8"));
}

QTEST_MAIN(TestSimControl)
#include "tst_sim_control.moc"
