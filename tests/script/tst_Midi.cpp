// MIDI bindings made by a real QML script, fed by a scripted event source: what reaches the radio's controls, the
// device states and their texts.
#include "support/LogCapture.h"
#include "support/ScriptedMidiSource.h"

#include "DialPanel.h"
#include "app/SettingsKeys.h"
#include "script/ExtensionSingletons.h"
#include "script/Midi.h"
#include "script/ScriptAPI.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

namespace {

void saveDevice(const QVariant &name)
{
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    if (name.isNull())
        s.remove(SettingsKeys::kMidiDevice);
    else
        s.setValue(SettingsKeys::kMidiDevice, name);
}

// A device "Pad" open on a scripted source, the script API over a dial panel, and a QML script that binds.
struct Rig {
    DialPanel panel;
    ScriptAPI api{nullptr, 0};
    ScriptedMidiSource *source;
    std::unique_ptr<Midi> midi;
    QQmlEngine engine;
    std::unique_ptr<QObject> script;
    QSignalSpy injected{&api, &ScriptAPI::injectData};

    Rig()
    {
        saveDevice(QStringLiteral("Pad"));
        auto s = std::make_unique<ScriptedMidiSource>();
        s->addDevice(QStringLiteral("Pad"), true);
        source = s.get();
        midi = std::make_unique<Midi>(std::move(s), nullptr, 0);
        midi->setScriptApi(&api);
        ExtensionSingletons::attach(&engine, &api, midi.get());
    }
    // Runs the binding statements of a script; the callback f records its arguments in calls.
    QString load(const QString &bindings)
    {
        QQmlComponent c(&engine);
        c.setData(QStringLiteral("import QtQml 2.15\nimport com.fernhollow.singletons 1.0\n"
                                 "import FrontPanelButtons 1.0\nimport RelativeEncoders 1.0\n"
                                 "import AbsoluteEncoders 1.0\nQtObject { property var calls: []\n"
                                 "function f(s, d, v) { calls.push(s + ',' + d + ',' + v) }\n"
                                 "Component.onCompleted: { %1 } }")
                      .arg(bindings)
                      .toUtf8(),
                  QUrl(QStringLiteral("file:///rig.qml")));
        script.reset(c.create());
        return c.errorString();
    }
    QStringList calls() const { return script->property("calls").toStringList(); }
    QStringList injectedHex() const
    {
        QStringList out;
        for (const QList<QVariant> &args : injected)
            out << QString::fromLatin1(args.at(0).toByteArray().toHex());
        return out;
    }
};

} // namespace

class TestMidi : public QObject
{
    Q_OBJECT
private slots:
    void dispatch_data();
    void dispatch();
    void deviceStates_data();
    void deviceStates();
    void clearBindingsKeepsButtons();
    void readErrorClosesAndReloadReopens();
    void floodWaitsForTheNextTick();
    void portMidiWithoutDevices();
};

void TestMidi::dispatch_data()
{
    QTest::addColumn<QString>("bindings");
    QTest::addColumn<QList<uint32_t>>("messages");
    QTest::addColumn<QStringList>("logs");
    QTest::addColumn<QStringList>("injected");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("dial");
    QTest::addColumn<int>("dialResult"); // value (absolute) or net ticks (relative)
    auto m = &ScriptedMidiSource::message;
    const QString notch = "MIDI.bindButton(0x90, 0x3C, 0x7F, FrontPanelButton.FPB_Notch)";
    QTest::newRow("note on presses NOTCH")
        << notch << QList<uint32_t>{m(0x90, 0x3C, 0x7F)}
        << QStringList{"MIDI 0x90 0x3c 0x7f bound to FPB_Notch", "MIDI 0x90 0x3c 0x7f button press: FPB_Notch"}
        << QStringList{"fe0e02fd", "fe0e00fd"} << QStringList{} << "" << 0;
    QTest::newRow("negative chars from QML still match")
        << "MIDI.bindButton(-112, 60, 127, FrontPanelButton.FPB_Tune, 20)" << QList<uint32_t>{m(0x90, 0x3C, 0x7F)}
        << QStringList{"MIDI 0x90 0x3c 0x7f button press: FPB_Tune"} << QStringList{"fe0d02fd", "fe0d00fd"}
        << QStringList{} << "" << 0;
    QTest::newRow("bytes modulo 256") << "MIDI.bindButton(0x190, 0x13C, 0x27F, FrontPanelButton.FPB_NR)"
                                      << QList<uint32_t>{m(0x90, 0x3C, 0x7F)}
                                      << QStringList{"MIDI 0x90 0x3c 0x7f bound to FPB_NR"}
                                      << QStringList{"fe0e08fd", "fe0e00fd"} << QStringList{} << "" << 0;
    const QString rel = "MIDI.bindRelativeEncoder(0xB0, 0x10, RelativeEncoder.MainDial)";
    QTest::newRow("relative +1") << rel << QList<uint32_t>{m(0xB0, 0x10, 0x01)}
                                 << QStringList{"MIDI 0xb0 0x10 0x00 bound to MainDial",
                                                "MIDI 0xb0 0x10 0x01 relative move MainDial to 1 %"}
                                 << QStringList{} << QStringList{} << "mainDial" << 1;
    QTest::newRow("relative sum") << rel
                                  << QList<uint32_t>{m(0xB0, 0x10, 0x05), m(0xB0, 0x10, 0x7E), m(0xB0, 0x10, 0x00)}
                                  << QStringList{"relative move MainDial to 0 %"} << QStringList{} << QStringList{}
                                  << "mainDial" << 3;
    const QString abs = "MIDI.bindAbsoluteEncoder(0xB0, 0x07, AbsoluteEncoder.Volume)";
    QTest::newRow("absolute 0x40") << abs << QList<uint32_t>{m(0xB0, 0x07, 0x40)}
                                   << QStringList{"MIDI 0xb0 0x07 0x00 bound to Volume",
                                                  "MIDI 0xb0 0x07 0x40 absoulte move Volume to 50.3937 %"}
                                   << QStringList{} << QStringList{} << "volume" << 31;
    QTest::newRow("absolute above the slider")
        << "MIDI.bindAbsoluteEncoder(0xB0, 0x07, AbsoluteEncoder.Volume, 100)" << QList<uint32_t>{m(0xB0, 0x07, 0x7F)}
        << QStringList{"absoulte move Volume to 127 %"} << QStringList{} << QStringList{} << "volume" << 62;
    QTest::newRow("slider maximum 0 refused")
        << "MIDI.bindAbsoluteEncoder(0xB0, 0x07, AbsoluteEncoder.Volume, 0)" << QList<uint32_t>{m(0xB0, 0x07, 0x40)}
        << QStringList{"MIDI 0xb0 0x07 0x00 not bound: slider maximum 0 is not "
                       "positive",
                       "Unhandeled MIDI Event: 0xb0 0x07 0x40"}
        << QStringList{} << QStringList{} << "volume" << 7;
    QTest::newRow("callback signed") << "MIDI.bind(0xB0, 0x11, f, true)" << QList<uint32_t>{m(0xB0, 0x11, 0x7F)}
                                     << QStringList{"MIDI 0xb0 0x11 0x00 bound to callback"} << QStringList{}
                                     << QStringList{"176,17,-1"} << "" << 0;
    QTest::newRow("callback unsigned") << "MIDI.bind(0xB0, 0x11, f)" << QList<uint32_t>{m(0xB0, 0x11, 0x7F)}
                                       << QStringList{} << QStringList{} << QStringList{"176,17,127"} << "" << 0;
    QTest::newRow("callback not a function")
        << "MIDI.bind(0xB0, 0x11, 3)" << QList<uint32_t>{m(0xB0, 0x11, 0x7F)}
        << QStringList{"Provided callback is not callable, did not bind", "Unhandeled MIDI Event: 0xb0 0x11 0x7f"}
        << QStringList{} << QStringList{} << "" << 0;
    QTest::newRow("button before absolute before relative before callback")
        << "MIDI.bind(0xB0, 0x07, f); MIDI.bindRelativeEncoder(0xB0, 0x07, RelativeEncoder.MultiDial);"
           "MIDI.bindAbsoluteEncoder(0xB0, 0x07, AbsoluteEncoder.Volume);"
           "MIDI.bindButton(0xB0, 0x07, 0x7F, FrontPanelButton.FPB_NB)"
        << QList<uint32_t>{m(0xB0, 0x07, 0x7F), m(0xB0, 0x07, 0x00)}
        << QStringList{"button press: FPB_NB", "0x00 absoulte move Volume to 0 %"}
        << QStringList{"fe0e04fd", "fe0e00fd"} << QStringList{} << "volume" << 0;
    QTest::newRow("later binding replaces")
        << "MIDI.bindRelativeEncoder(0xB0, 0x10, RelativeEncoder.MainDial);"
           "MIDI.bindRelativeEncoder(0xB0, 0x10, RelativeEncoder.MultiDial)"
        << QList<uint32_t>{m(0xB0, 0x10, 0x03)} << QStringList{"relative move MultiDial to 3 %"} << QStringList{}
        << QStringList{} << "multiDial" << 3;
    QTest::newRow("ignored") << "MIDI.ignore(0xF8, 0)" << QList<uint32_t>{m(0xF8, 0, 0), m(0xFE, 0, 0)}
                             << QStringList{"MIDI 0xf8 0x00 0x00 ignored", "Unhandeled MIDI Event: 0xfe 0x00 0x00"}
                             << QStringList{} << QStringList{} << "" << 0;
    QTest::newRow("sysex fragment") << "" << QList<uint32_t>{0x7E7DF0u, 0x7F0102u}
                                    << QStringList{"Unhandeled MIDI Event: 0xf0 0x7d 0x7e",
                                                   "Unhandeled MIDI Event: 0x02 0x01 0x7f"}
                                    << QStringList{} << QStringList{} << "" << 0;
}

void TestMidi::dispatch()
{
    QFETCH(QString, bindings);
    QFETCH(QList<uint32_t>, messages);
    QFETCH(QStringList, logs);
    QFETCH(QStringList, injected);
    QFETCH(QStringList, calls);
    QFETCH(QString, dial);
    QFETCH(int, dialResult);
    LogCapture log;
    Rig rig;
    rig.panel["volume"].dial->setValue(7);
    QCOMPARE(rig.load(bindings), QString());
    QVERIFY(rig.midi->isOpen());
    for (uint32_t message : messages)
        rig.source->send(message);
    rig.midi->poll();
    QCOMPARE(rig.source->pending(), 0);
    for (const QString &line : logs)
        QVERIFY2(log.contains(line), qPrintable(line + "\n---\n" + log.lines().join('\n')));
    if (!injected.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(rig.injectedHex(), injected, 1000);
    else
        QCOMPARE(rig.injectedHex(), QStringList{});
    QCOMPARE(rig.calls(), calls);
    if (dial == QLatin1String("volume"))
        QCOMPARE(rig.panel["volume"].dial->value(), dialResult);
    else if (!dial.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(rig.panel[qPrintable(dial)].net, dialResult, 1000);
}

void TestMidi::deviceStates_data()
{
    QTest::addColumn<QVariant>("saved");
    QTest::addColumn<QStringList>("devices"); // name:in / name:out
    QTest::addColumn<int>("openError");
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<int>("opened");
    QTest::addColumn<QString>("name");
    QTest::newRow("unset") << QVariant() << QStringList{"Pad:in"} << 0 << QStringList{} << -1 << "None";
    QTest::newRow("None") << QVariant("None") << QStringList{"None:in"} << 0 << QStringList{} << -1 << "None";
    QTest::newRow("not found") << QVariant("Keys") << QStringList{"Pad:in"} << 0
                               << QStringList{"MIDI Device Not Found (Keys)"} << -1 << "None";
    QTest::newRow("found") << QVariant("Pad") << QStringList{"Other:in", "Pad:in"} << 0
                           << QStringList{"MIDI Device OK (Pad, 1)"} << 1 << "Pad";
    // A two-way USB port is listed output first under the same name; opening that as an input fails.
    QTest::newRow("two-way port, output listed first") << QVariant("Pad") << QStringList{"Pad:out", "Pad:in"} << 0
                                                       << QStringList{"MIDI Device OK (Pad, 1)"} << 1 << "Pad";
    QTest::newRow("output only") << QVariant("Pad") << QStringList{"Pad:out"} << 0
                                 << QStringList{"MIDI Device Not Found (Pad)"} << -1 << "None";
    QTest::newRow("open fails") << QVariant("Pad") << QStringList{"Pad:in"} << -9999
                                << QStringList{"MIDI Device Failed (Pad, 0), code -9999"} << -1 << "Pad";
}

void TestMidi::deviceStates()
{
    QFETCH(QVariant, saved);
    QFETCH(QStringList, devices);
    QFETCH(int, openError);
    QFETCH(QStringList, statuses);
    QFETCH(int, opened);
    QFETCH(QString, name);
    saveDevice(saved);
    auto s = std::make_unique<ScriptedMidiSource>();
    int inputs = 0;
    for (const QString &d : devices) {
        s->addDevice(d.section(':', 0, 0), d.endsWith(":in"), d.endsWith(":out"));
        inputs += d.endsWith(":in");
    }
    s->openError = openError;
    ScriptedMidiSource *source = s.get();
    Midi midi(std::move(s), nullptr, 0);
    QSignalSpy spy(&midi, &Midi::midiStatusChanged);
    midi.reloadMidi();
    QStringList got;
    for (const QList<QVariant> &args : spy)
        got << args.at(0).toString();
    QCOMPARE(got, statuses);
    QCOMPARE(source->openedIndex, opened);
    QCOMPARE(midi.connectedDeviceName(), name);
    QCOMPARE(midi.isOpen(), opened >= 0);

    LogCapture log;
    const QStringList listed = midi.listInputDevices();
    QCOMPARE(listed.size(), inputs);
    QCOMPARE(spy.last().at(0).toString(), QStringLiteral("Found %1 MIDI Input Devices.").arg(inputs));
    QVERIFY(log.contains(QStringLiteral("MIDI: Found %1 MIDI Input Devices.").arg(inputs)));
}

void TestMidi::clearBindingsKeepsButtons()
{
    Rig rig;
    QCOMPARE(rig.load("MIDI.bindButton(0x90, 0x3C, 0x7F, FrontPanelButton.FPB_Notch);"
                      "MIDI.bindRelativeEncoder(0xB0, 0x10, RelativeEncoder.MainDial);"
                      "MIDI.bindAbsoluteEncoder(0xB0, 0x07, AbsoluteEncoder.Volume);"
                      "MIDI.bind(0xB0, 0x11, f); MIDI.ignore(0xF8, 0)"),
             QString());
    rig.midi->clearBindings();
    LogCapture log;
    for (uint32_t m : {0xB0u | 0x10u << 8 | 1u << 16, 0xB0u | 0x07u << 8 | 9u << 16, 0xB0u | 0x11u << 8, 0xF8u,
                       0x90u | 0x3Cu << 8 | 0x7Fu << 16})
        rig.source->send(m);
    rig.midi->poll();
    QCOMPARE(log.count("Unhandeled MIDI Event"), 4);
    QTRY_COMPARE_WITH_TIMEOUT(rig.injectedHex(), (QStringList{"fe0e02fd", "fe0e00fd"}), 1000);
    QCOMPARE(rig.calls(), QStringList{});
}

void TestMidi::readErrorClosesAndReloadReopens()
{
    Rig rig;
    QCOMPARE(rig.load("MIDI.bind(0xB0, 0x11, f)"), QString());
    QSignalSpy status(rig.midi.get(), &Midi::midiStatusChanged);
    LogCapture log;
    rig.source->send(0xB0, 0x11, 1);
    rig.source->readError = -10000;
    rig.midi->poll();
    QVERIFY(log.contains("MIDI Error -10000"));
    QCOMPARE(status.count(), 1);
    QCOMPARE(status.at(0).at(0).toString(), QStringLiteral("Midi Device Closed"));
    QVERIFY(!rig.midi->isOpen());
    QCOMPARE(rig.source->closes, 1);
    // Closed: nothing is read until the device is reloaded; the bindings are kept.
    const int reads = rig.source->reads;
    rig.midi->poll();
    QCOMPARE(rig.source->reads, reads);
    rig.midi->reloadMidi();
    QCOMPARE(status.last().at(0).toString(), QStringLiteral("MIDI Device OK (Pad, 0)"));
    rig.source->send(0xB0, 0x11, 2);
    rig.midi->poll();
    QCOMPARE(rig.calls(), (QStringList{"176,17,1", "176,17,2"}));
}

void TestMidi::floodWaitsForTheNextTick()
{
    Rig rig;
    QCOMPARE(rig.load("MIDI.ignore(0xB0, 0x11)"), QString());
    for (int i = 0; i < 3000; ++i)
        rig.source->send(0xB0, 0x11, i & 0x7F);
    rig.midi->poll();
    QCOMPARE(rig.source->pending(), 3000 - Midi::kMaxMessagesPerTick);
    rig.midi->poll();
    rig.midi->poll();
    QCOMPARE(rig.source->pending(), 0);
}

void TestMidi::portMidiWithoutDevices()
{
    // No MIDI hardware (nor an ALSA sequencer) exists here: the real library must list nothing and fail gently.
    saveDevice(QStringLiteral("Some Controller"));
    Midi midi(createPortMidiBackend(), nullptr, 0);
    QSignalSpy spy(&midi, &Midi::midiStatusChanged);
    midi.reloadMidi();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("MIDI Device Not Found (Some Controller)"));
    QCOMPARE(midi.listInputDevices(), QStringList{});
    QCOMPARE(midi.connectedDeviceName(), QStringLiteral("None"));
    midi.poll();
}

QTEST_MAIN(TestMidi)
#include "tst_Midi.moc"
