// The controller against a scriptable peer on the real control port (run in its own network
// namespace): the connection sequence, what goes on the wire for every input, and what the
// unit's answers turn into.
#include "ControllerHarness.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"

#include "link/Codec.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>

using Action = std::function<void(PylonController &)>;
Q_DECLARE_METATYPE(Action)

class tst_ControllerLink : public QObject
{
    Q_OBJECT
private slots:
    void connectsAndKeepsAlive();
    void injectionBytes_data();
    void injectionBytes();
    void dialsWriteAbsolutePositions_data();
    void dialsWriteAbsolutePositions();
    void responsesBecomeSignals();
};

void tst_ControllerLink::connectsAndKeepsAlive()
{
    ManualClock clock;
    ControllerHarness h(ControllerHarness::unitKey(), ControllerHarness::unitKey(), &clock);
    QVERIFY(h.listening);
    QVERIFY(h.waitConnected());
    QCOMPARE(h.notices,
             (QStringList{"Idle", "Connecting to 127.0.0.1", "Set FPGA FPS", "Activate FPGA Transmit", "Connected"}));

    // The keep-alive follows 5 s in Connected, by the controller's clock: not at 5000 ms, at 5001.
    auto control = [&] { return h.unit->writesTo(PylonController::dc_capture_control_csr); };
    for (int refresh = 1; refresh <= 2; ++refresh) {
        clock.advance(5000);
        QVERIFY(h.waitTicks(3));
        QCOMPARE(control().size(), refresh);
        clock.advance(1);
        QVERIFY(FakeUnit::waitUntil([&] { return control().size() == refresh + 1; }, 3000));
        QVERIFY(h.waitConnected());
    }
    QCOMPARE(h.connectedTrue, 1);
    QCOMPARE(h.unit->connections(), 1);

    const auto divisor = h.unit->writesTo(PylonController::dc_capture_frame_divisor_csr);
    QCOMPARE(divisor.size(), 1);
    QCOMPARE(divisor[0].request.payload.write.data, 0u);
    QVERIFY(divisor[0].request.ackRequired);
    for (const auto &w : control()) {
        QCOMPARE(w.request.payload.write.data, 550000000u);
        QVERIFY(w.request.ackRequired);
    }
    // Every request carries the next counter, starting at 0.
    for (int i = 0; i < h.unit->received().size(); ++i)
        QCOMPARE(h.unit->received()[i].request.counter, uint32_t(i));
}

void tst_ControllerLink::injectionBytes_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QList<QByteArray>>("expectedInjects");
    QTest::addColumn<QStringList>("expectedActions");
    QTest::addColumn<QString>("expectedLog");

    auto hex = [](const char *h) { return QByteArray::fromHex(h); };
    QTest::newRow("touch at the far corner")
        << Action([](PylonController &c) { c.injectTouch(QPoint(480, 272)); })
        << QList<QByteArray>{hex("fe130001e00110fd")} << QStringList{"Touch Point: 480,272"}
        << "Inject touch to 480,272. Hex: fe130001e00110fd ";
    QTest::newRow("touch right of the screen") << Action([](PylonController &c) { c.injectTouch(QPoint(481, 0)); })
                                               << QList<QByteArray>{} << QStringList{} << QString();
    QTest::newRow("touch left of the screen") << Action([](PylonController &c) { c.injectTouch(QPoint(-1, 5)); })
                                              << QList<QByteArray>{} << QStringList{} << QString();
    QTest::newRow("touch release") << Action([](PylonController &c) { c.injectTouchRelease(); })
                                   << QList<QByteArray>{hex("fe1300270f270ffd")} << QStringList{"Touch Release"}
                                   << "Touch Release: fe1300270f270ffd.";
    QTest::newRow("volume") << Action([](PylonController &c) { c.adjustVolume(128); })
                            << QList<QByteArray>{hex("fe1e80fd")} << QStringList{"Volume Set 128"} << QString();
    QTest::newRow("rf/sql") << Action([](PylonController &c) { c.adjustRfSql(0); })
                            << QList<QByteArray>{hex("fe1f00fd")} << QStringList{"AfSql Set 0"} << QString();
    QTest::newRow("key press from text") << Action([](PylonController &c) {
        c.writeInjectStr(QStringLiteral("fe0e04fd"));
    }) << QList<QByteArray>{hex("fe0e04fd")}
                                         << QStringList{} << QString();
    QTest::newRow("text with separators")
        << Action([](PylonController &c) { c.writeInjectStr(QStringLiteral("FE:0E 00-FD")); })
        << QList<QByteArray>{hex("fe0e00fd")} << QStringList{} << QString();
    QTest::newRow("32 bytes is the limit") << Action([](PylonController &c) { c.writeInject(QByteArray(32, '\x11')); })
                                           << QList<QByteArray>{QByteArray(32, '\x11')} << QStringList{} << QString();
    QTest::newRow("33 bytes refused") << Action([](PylonController &c) { c.writeInject(QByteArray(33, '\x11')); })
                                      << QList<QByteArray>{} << QStringList{} << "Inject request too big.  33.";
}

void tst_ControllerLink::injectionBytes()
{
    QFETCH(Action, action);
    QFETCH(QList<QByteArray>, expectedInjects);
    QFETCH(QStringList, expectedActions);
    QFETCH(QString, expectedLog);

    ControllerHarness h;
    QVERIFY(h.listening);
    QVERIFY(h.waitConnected());
    LogCapture log;
    const int before = h.unit->received().size();
    action(*h.controller);
    // A marker write proves every earlier request has been delivered (one stream, in order).
    h.controller->writeWordAck(PylonController::ctrl_scratch, 0x5a5a, false);
    QVERIFY(FakeUnit::waitUntil([&] { return !h.unit->writesTo(PylonController::ctrl_scratch).isEmpty(); }, 3000));

    QCOMPARE(h.unit->injects(), expectedInjects);
    for (int i = before; i < h.unit->received().size(); ++i)
        QVERIFY(!h.unit->received()[i].request.ackRequired);
    QCOMPARE(h.actions, expectedActions);
    if (!expectedLog.isEmpty())
        QVERIFY2(log.lines().filter(expectedLog).size() == 1, qPrintable(log.lines().join('\n')));
}

using Spin = void (PylonController::*)(int);
Q_DECLARE_METATYPE(Spin)

void tst_ControllerLink::dialsWriteAbsolutePositions_data()
{
    QTest::addColumn<Spin>("spin");
    QTest::addColumn<uint>("reg");
    QTest::addColumn<QList<int>>("ticks");
    QTest::addColumn<QList<uint>>("written");
    QTest::addColumn<QStringList>("notices");

    QTest::newRow("main") << &PylonController::spinMainDial << uint(PylonController::db_main_dial_encoder)
                          << QList<int>{3, 3, -1} << QList<uint>{3, 6, 5}
                          << QStringList{"Main Dial 3 (abs: 3)", "Main Dial 3 (abs: 6)", "Main Dial -1 (abs: 5)"};
    QTest::newRow("multi") << &PylonController::spinMultiDial << uint(PylonController::db_multi_dial_encoder)
                           << QList<int>{1, 1} << QList<uint>{1, 2}
                           << QStringList{"Multi Dial 1 (abs: 1)", "Multi Dial 1 (abs: 2)"};
    QTest::newRow("bpf inner") << &PylonController::spinBPFInDial << uint(PylonController::db_bpf_in_encoder)
                               << QList<int>{10} << QList<uint>{10} << QStringList{"BPF Inner Dial 10 (abs: 10)"};
    QTest::newRow("bpf outer below zero wraps")
        << &PylonController::spinBPFOutDial << uint(PylonController::db_bpf_out_encoder) << QList<int>{-2, 1}
        << QList<uint>{0xFFFFFFFEu, 0xFFFFFFFFu}
        << QStringList{"BPF Outer Dial -2 (abs: -2)", "BPF Outer Dial 1 (abs: -1)"};
}

void tst_ControllerLink::dialsWriteAbsolutePositions()
{
    QFETCH(Spin, spin);
    QFETCH(uint, reg);
    QFETCH(QList<int>, ticks);
    QFETCH(QList<uint>, written);
    QFETCH(QStringList, notices);

    ControllerHarness h;
    QVERIFY(h.listening);
    QVERIFY(h.waitConnected());
    LogCapture log;
    for (int t : ticks)
        (h.controller.get()->*spin)(t);
    QVERIFY(FakeUnit::waitUntil([&] { return h.unit->writesTo(reg).size() == written.size(); }, 3000));
    QList<uint> got;
    for (const auto &w : h.unit->writesTo(reg)) {
        got.append(w.request.payload.write.data);
        QVERIFY(!w.request.ackRequired);
    }
    QCOMPARE(got, written);
    QCOMPARE(h.actions, notices);
    QCOMPARE(log.count(QStringLiteral("to %1, counter").arg(PylonController::registerName(reg))), written.size());
}

void tst_ControllerLink::responsesBecomeSignals()
{
    ControllerHarness h;
    QVERIFY(h.listening);
    QVERIFY(h.waitConnected());
    LogCapture log;
    QSignalSpy regs(h.controller.get(), &PylonController::registerChanged);
    QSignalSpy ltxd(h.controller.get(), &PylonController::newLtxdBytes);
    QSignalSpy lrxd(h.controller.get(), &PylonController::newLrxdBytes);
    QSignalSpy frames(h.controller.get(), &PylonController::proxySentCompressedFrame);

    // A read answered by the unit lands in the mirror: a dial continues from the unit's position.
    h.unit->readValues[PylonController::db_main_dial_encoder] = 100;
    h.controller->readWord(PylonController::db_main_dial_encoder);
    QVERIFY(regs.wait(2000));
    QCOMPARE(regs.last().at(0).value<PylonController::Register>(), PylonController::db_main_dial_encoder);
    QCOMPARE(regs.last().at(1).toUInt(), 100u);
    QVERIFY(h.notices.contains("Read register db_main_dial_encoder"));
    QVERIFY(log.contains("Got Read Reg for"));
    QVERIFY(log.contains(": db_main_dial_encoder = 00000064."));

    h.controller->spinMainDial(-3);
    QVERIFY(
        FakeUnit::waitUntil([&] { return !h.unit->writesTo(PylonController::db_main_dial_encoder).isEmpty(); }, 2000));
    QCOMPARE(h.unit->writesTo(PylonController::db_main_dial_encoder).last().request.payload.write.data, 97u);
    QCOMPARE(h.actions.last(), QStringLiteral("Main Dial -3 (abs: 97)"));

    // An unsolicited register report, serial chunks, an empty read answer and a relay frame.
    Response r = Response_init_zero;
    r.counter = 77;
    r.which_payload = Response_registerValue_tag;
    r.payload.registerValue.addr = PylonController::da_host_sense;
    r.payload.registerValue.has_data = true;
    r.payload.registerValue.data = 1;
    h.unit->sendResponse(r);
    r.which_payload = Response_ltxd_tag;
    r.payload.ltxd.size = 3;
    memcpy(r.payload.ltxd.bytes, "\xfe\xfe\xfd", 3);
    h.unit->sendResponse(r);
    r = Response_init_zero;
    r.which_payload = Response_lrxd_tag;
    r.payload.lrxd.size = 2;
    memcpy(r.payload.lrxd.bytes, "\x01\x02", 2);
    h.unit->sendResponse(r);
    r = Response_init_zero;
    r.which_payload = Response_registerValue_tag;
    r.payload.registerValue.addr = 0xF0001234;
    h.unit->sendResponse(r);

    // An empty message does not decode; it is dropped and the stream goes on.
    h.unit->sendRaw(QByteArray(1, '\0'));

    static ProxyFrame pf; // 64 kB: not on the stack
    pf = ProxyFrame_init_zero;
    pf.which_payload = ProxyFrame_frame_tag;
    pf.payload.frame.stamp = 123456789;
    pf.payload.frame.data.size = 5;
    memcpy(pf.payload.frame.data.bytes, "zstd!", 5);
    h.unit->sendRaw(encodeProxyFrameBlock(pf));
    qint64 stamp = 0;
    QByteArray data;
    connect(h.controller.get(), &PylonController::proxySentCompressedFrame, this, [&](CompressedFrameData &f) {
        stamp = f.stamp;
        data = QByteArray(reinterpret_cast<const char *>(f.data.bytes), f.data.size);
    });
    // A response straight after the frame is read as a response again.
    r = Response_init_zero;
    r.which_payload = Response_lrxd_tag;
    r.payload.lrxd.size = 1;
    r.payload.lrxd.bytes[0] = 0x42;
    h.unit->sendResponse(r);

    QVERIFY(FakeUnit::waitUntil([&] { return lrxd.size() == 2; }, 2000));
    QCOMPARE(ltxd.size(), 1);
    QCOMPARE(ltxd[0][0].toByteArray(), QByteArray("\xfe\xfe\xfd"));
    QCOMPARE(lrxd[0][0].toByteArray(), QByteArray("\x01\x02"));
    QCOMPARE(lrxd[1][0].toByteArray(), QByteArray("\x42"));
    QCOMPARE(regs.last().at(0).value<PylonController::Register>(), PylonController::da_host_sense);
    QCOMPARE(h.controller->mirroredRegister(PylonController::da_host_sense), 1u);
    QVERIFY(log.contains("Got unexpected empty read word response for f0001234"));
    QVERIFY(log.contains("Error occurred during decode:"));
    QCOMPARE(h.unit->connections(), 1);
    QCOMPARE(frames.size(), 1);
    QCOMPARE(stamp, 123456789);
    QCOMPARE(data, QByteArray("zstd!"));
    QCOMPARE(h.controller->state() == PylonController::Connected ||
                 h.controller->state() == PylonController::RefreshTransmit ||
                 h.controller->state() == PylonController::WaitRefreshAck,
             true);
}

QTEST_MAIN(tst_ControllerLink)
#include "tst_ControllerLink.moc"
