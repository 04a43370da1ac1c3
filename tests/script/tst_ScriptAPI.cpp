// The script API as an extension uses it: the bytes it injects, the dials it turns, the pixels it reads, its clock
// and its schedule, and the QML names it registers.
#include "support/LogCapture.h"

#include "DialPanel.h"
#include "script/ExtensionSingletons.h"
#include "script/Midi.h"
#include "script/ScriptAPI.h"
#include "support/ScriptedMidiSource.h"

#include <QJSEngine>
#include <QMetaEnum>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTest>

#include <climits>
#include <cmath>
#include <limits>

class TestScriptAPI : public QObject
{
    Q_OBJECT
private slots:
    void encoderAdjust_data();
    void encoderAdjust();
    void encoderSet_data();
    void encoderSet();
    void pixel_data();
    void pixel();
    void keepsNewestFrame();
    void schedule_data();
    void schedule();
    void scheduleBounds();
    void enumerationsInQml();
    void singletonsReachEveryEngine();
};

void TestScriptAPI::encoderAdjust_data()
{
    QTest::addColumn<int>("encoder");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<QString>("dial");
    QTest::addColumn<QList<int>>("moves");
    QTest::addColumn<QString>("log");
    QTest::newRow("multi +20") << 2 << 20 << "multiDial" << QList<int>{8, 16, 1}
                               << "Adjust relative encoder multiDial. Original 0, Adjust 20. Steps: 2, Size 8, Fixup 4";
    QTest::newRow("main -400") << 1 << -400 << "mainDial" << QList<int>{181, 3, 318}
                               << "Adjust relative encoder mainDial. Original 0, Adjust -400. Steps: 2, Size -178, "
                                  "Fixup -44";
    QTest::newRow("main +5") << 1 << 5 << "mainDial" << QList<int>{5}
                             << "Adjust relative encoder mainDial. Original 0, Adjust 5. Steps: 0, Size 178, Fixup 5";
    QTest::newRow("inner -9") << 3 << -9 << "bpf_in" << QList<int>{11, 10}
                              << "Adjust relative encoder bpf_in. Original 0, Adjust -9. Steps: 1, Size -8, Fixup -1";
    QTest::newRow("outer 0") << 4 << 0 << "bpf_out" << QList<int>{}
                             << "Adjust relative encoder bpf_out. Original 0, Adjust 0. Steps: 0, Size 0, Fixup 0";
    QTest::newRow("at the limit") << 1 << 100000 << "mainDial" << QList<int>{} << "Adjust 100000. Steps: 561";
    QTest::newRow("no such encoder") << 7 << 3 << "" << QList<int>{}
                                     << "Failed to adjust relative encoder 7, couldn't locate.";
    QTest::newRow("absolute is not relative")
        << 5 << 3 << "" << QList<int>{} << "Failed to adjust relative encoder 5, couldn't locate.";
    QTest::newRow("INT_MIN") << 1 << INT_MIN << "" << QList<int>{}
                             << "Failed to adjust relative encoder 1, -2147483648 ticks is out of range.";
    QTest::newRow("past the limit") << 2 << 100001 << "" << QList<int>{}
                                    << "Failed to adjust relative encoder 2, 100001 ticks is out of range.";
}

void TestScriptAPI::encoderAdjust()
{
    QFETCH(int, encoder);
    QFETCH(int, ticks);
    QFETCH(QString, dial);
    QFETCH(QList<int>, moves);
    QFETCH(QString, log);
    DialPanel panel;
    ScriptAPI api(nullptr, 0);
    LogCapture logs;
    api.encoderAdjust(ScriptAPI::RelativeEncoder(encoder), ticks);
    QVERIFY2(logs.contains(log), qPrintable(logs.lines().join('\n')));
    if (dial.isEmpty()) {
        for (const char *d : {"mainDial", "multiDial", "bpf_in", "bpf_out"})
            QVERIFY(panel[d].moves.isEmpty());
        return;
    }
    DialPanel::Dial &d = panel[qPrintable(dial)];
    if (!moves.isEmpty() || ticks == 0)
        QCOMPARE(d.moves, moves);
    // What the controller would be told, through the dial's accumulator.
    QTRY_COMPARE_WITH_TIMEOUT(d.net, ticks, 1000);
}

void TestScriptAPI::encoderSet_data()
{
    QTest::addColumn<int>("encoder");
    QTest::addColumn<double>("percent");
    QTest::addColumn<QString>("dial");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("log");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("volume half") << 5 << 0.5 << "volume" << 31 << "Set absolute encoder volume to 0.5 (ABS: 31)";
    QTest::newRow("rf/sql full") << 6 << 1.0 << "rfsql" << 252 << "Set absolute encoder rfsql to 1 (ABS: 252)";
    QTest::newRow("volume truncates") << 5 << 0.33 << "volume" << 20 << "(ABS: 20.46)";
    QTest::newRow("above 1 is the maximum") << 5 << 1e300 << "volume" << 62 << "(ABS: 62)";
    QTest::newRow("+inf is the maximum") << 5 << inf << "volume" << 62 << "(ABS: 62)";
    QTest::newRow("-inf is the minimum") << 6 << -inf << "rfsql" << 0 << "(ABS: 0)";
    QTest::newRow("negative is the minimum") << 6 << -0.5 << "rfsql" << 0 << "(ABS: 0)";
    QTest::newRow("NaN refused") << 5 << std::nan("") << "volume" << 7
                                 << "Failed to adjust absolute encoder 5, not a number.";
    QTest::newRow("relative is not absolute")
        << 2 << 0.5 << "" << 0 << "Failed to adjust absolute encoder 2, couldn't locate.";
}

void TestScriptAPI::encoderSet()
{
    QFETCH(int, encoder);
    QFETCH(double, percent);
    QFETCH(QString, dial);
    QFETCH(int, value);
    QFETCH(QString, log);
    DialPanel panel;
    panel["volume"].dial->setValue(7);
    panel["rfsql"].dial->setValue(7);
    ScriptAPI api(nullptr, 0);
    LogCapture logs;
    api.encoderSet(ScriptAPI::AbsoluteEncoder(encoder), percent);
    QVERIFY2(logs.contains(log), qPrintable(logs.lines().join('\n')));
    if (!dial.isEmpty())
        QCOMPARE(panel[qPrintable(dial)].dial->value(), value);
    else
        QCOMPARE(panel["multiDial"].moves, QList<int>{});
}

void TestScriptAPI::pixel_data()
{
    QTest::addColumn<bool>("withFrame");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QString>("log");
    QTest::newRow("red corner") << true << QPoint(0, 0) << QColor(255, 0, 0) << "PTS 4711";
    QTest::newRow("blue last pixel") << true << QPoint(479, 271) << QColor(0, 0, 255) << "PTS 4711";
    QTest::newRow("green middle") << true << QPoint(300, 180) << QColor(0, 255, 0) << "PTS 4711";
    QTest::newRow("no frame yet") << false << QPoint(1, 1) << QColor(0, 0, 0, 0) << "no frame received yet";
    QTest::newRow("right of the screen") << true << QPoint(480, 0) << QColor(0, 0, 0, 0) << "outside the 480 x 272";
    QTest::newRow("above the screen") << true << QPoint(5, -1) << QColor(0, 0, 0, 0) << "outside the 480 x 272";
}

void TestScriptAPI::pixel()
{
    QFETCH(bool, withFrame);
    QFETCH(QPoint, at);
    QFETCH(QColor, colour);
    QFETCH(QString, log);
    Frame_t frame;
    frame.pts = 4711;
    auto put = [&](int x, int y, uint16_t rgb565) {
        frame.pixels[y * Frame_t::Stride + 2 * x] = uint8_t(rgb565);
        frame.pixels[y * Frame_t::Stride + 2 * x + 1] = uint8_t(rgb565 >> 8);
    };
    put(0, 0, 0xF800);
    put(479, 271, 0x001F);
    put(300, 180, 0x07E0);
    ScriptAPI api(nullptr, 0);
    if (withFrame)
        api.newBuff(&frame);
    LogCapture logs;
    QCOMPARE(api.pixel(at), colour);
    QVERIFY2(logs.contains(log), qPrintable(logs.lines().join('\n')));
    api.takeFrame();
}

void TestScriptAPI::keepsNewestFrame()
{
    Frame_t a, b;
    ScriptAPI api(nullptr, 0);
    QSignalSpy spy(&api, &ScriptAPI::buffDispose);
    api.newBuff(&a);
    QCOMPARE(spy.count(), 0);
    api.newBuff(&b);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<Frame_t *>(), &a);
    QCOMPARE(api.heldFrame(), &b);
    QCOMPARE(api.takeFrame(), &b);
}

void TestScriptAPI::schedule_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<QString>("ran"); // what the script recorded, "tick:argument" per call
    QTest::newRow("0 ms: next tick, time as argument") << "api.schedule(0, f)" << 3 << "1:33";
    QTest::newRow("100 ms: fourth tick") << "api.schedule(100, f)" << 5 << "4:132";
    QTest::newRow("32 ms: next tick") << "api.schedule(32, f)" << 3 << "1:33";
    QTest::newRow("33 ms: second tick") << "api.schedule(33, f)" << 3 << "2:66";
    QTest::newRow("negative: next tick") << "api.schedule(-500, f)" << 3 << "1:33";
    QTest::newRow("same tick, in the order scheduled")
        << "api.schedule(40, function(t) { log.push('a' + t) }); api.schedule(50, f)" << 3 << "a66,2:66";
    QTest::newRow("callback schedules again")
        << "api.schedule(0, function(t) { f(t); api.schedule(0, f) })" << 3 << "1:33,2:66";
    QTest::newRow("not a function") << "api.schedule(0, 42)" << 3 << "";
}

void TestScriptAPI::schedule()
{
    QFETCH(QString, script);
    QFETCH(int, ticks);
    QFETCH(QString, ran);
    ScriptAPI api(nullptr, 0);
    QCOMPARE(api.time(), 0);
    QJSEngine engine;
    engine.globalObject().setProperty(QStringLiteral("api"), engine.newQObject(&api));
    QQmlEngine::setObjectOwnership(&api, QQmlEngine::CppOwnership);
    engine.evaluate(QStringLiteral("var log = []; var f = function(t) { log.push((t / 33) + ':' + t) };"));
    LogCapture logs;
    const QJSValue r = engine.evaluate(script);
    QVERIFY2(!r.isError(), qPrintable(r.toString()));
    for (int i = 0; i < ticks; ++i)
        api.tick();
    QCOMPARE(api.time(), ticks * 33);
    QCOMPARE(engine.evaluate(QStringLiteral("log.join(',')")).toString(), ran);
    if (ran.isEmpty())
        QVERIFY(logs.contains(QStringLiteral("Provided callback is not callable, did not schedule")));
}

void TestScriptAPI::scheduleBounds()
{
    ScriptAPI api(nullptr, 0);
    QJSEngine engine;
    engine.globalObject().setProperty(QStringLiteral("api"), engine.newQObject(&api));
    QQmlEngine::setObjectOwnership(&api, QQmlEngine::CppOwnership);
    LogCapture logs;
    engine.evaluate(QStringLiteral("for (var i = 0; i < 10001; ++i) api.schedule(1000, function() {})"));
    QCOMPARE(api.pendingCallbacks(), ScriptAPI::kMaxPendingCallbacks);
    QCOMPARE(logs.count(QStringLiteral("Too many scheduled callbacks, did not schedule")), 1);

    // A callback that throws is reported with where it threw; the next one still runs.
    ScriptAPI second(nullptr, 0);
    engine.globalObject().setProperty(QStringLiteral("second"), engine.newQObject(&second));
    QQmlEngine::setObjectOwnership(&second, QQmlEngine::CppOwnership);
    QSignalSpy errors(&second, &ScriptAPI::scriptError);
    engine.evaluate(QStringLiteral("var after = 0;\nsecond.schedule(0, function() {\n  nosuch.call() });\n"
                                   "second.schedule(0, function() { after = 1 })"),
                    QStringLiteral("/x/ext.qml"));
    second.tick();
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(),
             QStringLiteral("file:///x/ext.qml:3:0: ReferenceError: nosuch is not defined"));
    QCOMPARE(engine.evaluate(QStringLiteral("after")).toInt(), 1);
}

void TestScriptAPI::enumerationsInQml()
{
    const char *keys[] = {"FPB_NB",    "FPB_Notch",   "FPB_NR",    "FPB_PAmpAtt",  "FPB_Transmit",
                          "FPB_Tune",  "FPB_VoxBkIn", "FPB_Menu",  "FPB_Function", "FPB_MScope",
                          "FPB_Quick", "FPB_Exit",    "FPB_Clear", "FPB_Multi",    "FPB_MDown",
                          "FPB_AB",    "FPB_Split",   "FPB_MPad",  "FPB_RIT",      "FPB_VM",
                          "FPB_Tuner", "FPB_DeltaTx", "FPB_MUp",   "FPB_SpLock",   "FPB_XFC"};
    const int codes[] = {0x0E04, 0x0E02, 0x0E08, 0x0E01, 0x0D01, 0x0D02, 0x0D04, 0x0D08, 0x0D10,
                         0x0D20, 0x0D40, 0x0E10, 0x0F40, 0x1004, 0x0F08, 0x0F01, 0x0F80, 0x0E80,
                         0x0F10, 0x0F02, 0x0E20, 0x0F20, 0x0F04, 0x0E40, 0x0D80};
    ScriptAPI api(nullptr, 0); // registers the modules
    const QMetaEnum fpb = QMetaEnum::fromType<ScriptAPI::FrontPanelButton>();
    QCOMPARE(fpb.keyCount(), 25);
    for (int i = 0; i < 25; ++i) {
        QCOMPARE(fpb.key(i), keys[i]);
        QCOMPARE(fpb.value(i), codes[i]);
    }
    QVERIFY(QMetaType::type("ScriptAPI::FrontPanelButton") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("ScriptAPI::RelativeEncoder") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("ScriptAPI::AbsoluteEncoder") != QMetaType::UnknownType);

    QQmlEngine engine;
    QQmlComponent c(&engine);
    c.setData("import QtQml 2.15\nimport FrontPanelButtons 1.0\nimport RelativeEncoders 1.0\n"
              "import AbsoluteEncoders 1.0\nQtObject { property var v: [FrontPanelButton.FPB_Notch, "
              "FrontPanelButton.FPB_XFC, RelativeEncoder.MainDial, RelativeEncoder.BandPassOutter, "
              "AbsoluteEncoder.Volume, AbsoluteEncoder.RFSql] }",
              QUrl());
    std::unique_ptr<QObject> o(c.create());
    QVERIFY2(o, qPrintable(c.errorString()));
    QCOMPARE(o->property("v").toList(), (QVariantList{0x0E02, 0x0D80, 1, 4, 5, 6}));
}

void TestScriptAPI::singletonsReachEveryEngine()
{
    ScriptAPI api(nullptr, 0);
    Midi midi(std::make_unique<ScriptedMidiSource>(), nullptr, 0);
    QSignalSpy spy(&api, &ScriptAPI::injectData);
    // Engines one after another and side by side each get the same two objects, and none deletes them.
    for (int round = 0; round < 3; ++round) {
        QQmlEngine a, b;
        for (QQmlEngine *e : {&a, &b}) {
            ExtensionSingletons::attach(e, &api, &midi);
            QQmlComponent c(e);
            c.setData("import QtQml 2.15\nimport com.fernhollow.singletons 1.0\nimport FrontPanelButtons 1.0\n"
                      "QtObject { property string device: MIDI.connectedDeviceName(); "
                      "Component.onCompleted: IC7300.press(FrontPanelButton.FPB_NB, 10) }",
                      QUrl());
            std::unique_ptr<QObject> o(c.create());
            QVERIFY2(o, qPrintable(c.errorString()));
            QCOMPARE(o->property("device").toString(), QStringLiteral("None"));
        }
    }
    QCOMPARE(spy.count(), 6);
    QCOMPARE(spy.at(5).at(0).toByteArray().toHex(), QByteArray("fe0e04fd"));
}

QTEST_MAIN(TestScriptAPI)
#include "tst_ScriptAPI.moc"
