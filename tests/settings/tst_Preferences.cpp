// The preferences dialog as a user drives it: what it shows for a store, what each edit stores (and logs), the MIDI
// device choice through the MIDI input, the script chooser, the reset, and the volume limit reaching the main window.
#include "support/LogCapture.h"
#include "support/ScriptedMidiSource.h"

#include "app/SettingsKeys.h"
#include "script/Midi.h"
#include "settings/Preferences.h"
#include "ui/MainWindow.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDial>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

QSettings settings()
{
    return QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
}

QString prioKey(const char *type, const char *field)
{
    return QStringLiteral("connectPrio/%1/%2").arg(QLatin1String(type), QLatin1String(field));
}

void store(const QVariantMap &values)
{
    QSettings s = settings();
    for (auto it = values.begin(); it != values.end(); ++it)
        s.setValue(it.key(), it.value());
}

const QStringList kDefaultOrder = {"Proxy on LAN (Autolocate)", "Direct Connect on LAN (Autolocate)", "Connect by IP",
                                   "Lookup by DNS"};

} // namespace

class TestPreferences : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void opensFromStore_data();
    void opensFromStore();
    void form();
    void volumeSlider_data();
    void volumeSlider();
    void checkingEntries_data();
    void checkingEntries();
    void movingEntries_data();
    void movingEntries();
    void typingAnAddress_data();
    void typingAnAddress();
    void midiList_data();
    void midiList();
    void midiPick_data();
    void midiPick();
    void script_data();
    void script();
    void reset();
    void closingAppliesVolumeLimit_data();
    void closingAppliesVolumeLimit();

private:
    template <typename T> T *child(const char *name) const { return m_dialog->findChild<T *>(QLatin1String(name)); }
    QStringList entries() const;
    QString checks() const; // "1100": the entries' check states from the top
    QListWidgetItem *entry(const QString &text) const;

    std::unique_ptr<Preferences> m_dialog;
};

void TestPreferences::init()
{
    settings().clear();
}

void TestPreferences::cleanup()
{
    m_dialog.reset();
}

QStringList TestPreferences::entries() const
{
    QStringList texts;
    auto *list = child<QListWidget>("listWidget");
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

QString TestPreferences::checks() const
{
    QString marks;
    auto *list = child<QListWidget>("listWidget");
    for (int i = 0; i < list->count(); ++i)
        marks += list->item(i)->checkState() == Qt::Checked ? QLatin1Char('1') : QLatin1Char('0');
    return marks;
}

QListWidgetItem *TestPreferences::entry(const QString &text) const
{
    const auto found = child<QListWidget>("listWidget")->findItems(text, Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.first();
}

void TestPreferences::opensFromStore_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<QString>("checked");
    QTest::addColumn<bool>("ipEnabled");
    QTest::addColumn<bool>("dnsEnabled");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("volume"); // the label
    QTest::addColumn<bool>("proxy");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QVariantMap>("storedAfter"); // what opening leaves in the store, beyond stored

    QTest::newRow("empty store") << QVariantMap() << kDefaultOrder << "1100" << false << false << "0.0.0.0"
                                 << "Maximum Volume:  25%" << false << "Not Set" << QVariantMap();
    QTest::newRow("saved address, relay mode, script")
        << QVariantMap{{prioKey("LOC_IP", "checked"), true},
                       {prioKey("LOC_IP", "extended"), "10.1.2.3"},
                       {prioKey("LOC_DNS", "extended"), "radio.example"},
                       {"maxVolume", 253},
                       {"ProxyMode", true},
                       {"script", "/home/op/dial.qml"}}
        << kDefaultOrder << "1110" << true << false << "10.1.2.3"
        << "Maximum Volume: 100%" << true << "/home/op/dial.qml" << QVariantMap();
    // Hand-edited stores: colliding and non-numeric positions hide strategies from the order; all four are listed
    // and the positions rewritten as shown, so that the locator walks what the user sees.
    QTest::newRow("colliding positions") << QVariantMap{{prioKey("LOC_IP", "prio"), 0}, {prioKey("LOC_DNS", "prio"), 1}}
                                         << QStringList{"Connect by IP", "Lookup by DNS", "Proxy on LAN (Autolocate)",
                                                        "Direct Connect on LAN (Autolocate)"}
                                         << "0011" << false << false << "0.0.0.0"
                                         << "Maximum Volume:  25%" << false << "Not Set"
                                         << QVariantMap{{prioKey("LOC_IP", "prio"), 0},
                                                        {prioKey("LOC_DNS", "prio"), 1},
                                                        {prioKey("LOC_PROXY_MDNS", "prio"), 2},
                                                        {prioKey("LOC_DIRECT_MDNS", "prio"), 3}};
    QTest::newRow("values of the wrong type") << QVariantMap{{prioKey("LOC_DIRECT_MDNS", "prio"), "first"},
                                                             {"maxVolume", "loud"},
                                                             {"script", QStringList{"a", "b"}},
                                                             {prioKey("LOC_IP", "extended"), 17}}
                                              << QStringList{"Direct Connect on LAN (Autolocate)", "Connect by IP",
                                                             "Lookup by DNS", "Proxy on LAN (Autolocate)"}
                                              << "1001" << false << false << "17"
                                              << "Maximum Volume:  25%" << false << "Not Set"
                                              << QVariantMap{{prioKey("LOC_DIRECT_MDNS", "prio"), 0},
                                                             {prioKey("LOC_IP", "prio"), 1},
                                                             {prioKey("LOC_DNS", "prio"), 2},
                                                             {prioKey("LOC_PROXY_MDNS", "prio"), 3}};
    QTest::newRow("volume below range") << QVariantMap{{"maxVolume", -5}} << kDefaultOrder << "1100" << false << false
                                        << "0.0.0.0"
                                        << "Maximum Volume:   0%" << false << "Not Set" << QVariantMap();
}

void TestPreferences::opensFromStore()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QStringList, order);
    QFETCH(QString, checked);
    QFETCH(bool, ipEnabled);
    QFETCH(bool, dnsEnabled);
    QFETCH(QString, ip);
    QFETCH(QString, volume);
    QFETCH(bool, proxy);
    QFETCH(QString, script);
    QFETCH(QVariantMap, storedAfter);

    store(stored);
    LogCapture log;
    m_dialog = std::make_unique<Preferences>();
    QCOMPARE(entries(), order);
    QCOMPARE(checks(), checked);
    QCOMPARE(log.count(QStringLiteral("Add option ")), 4);
    QCOMPARE(child<QLineEdit>("deviceIp")->isEnabled(), ipEnabled);
    QCOMPARE(child<QLineEdit>("deviceDNS")->isEnabled(), dnsEnabled);
    QCOMPARE(child<QLineEdit>("deviceIp")->text(), ip);
    QCOMPARE(child<QLabel>("volLabel")->text(), volume);
    QCOMPARE(child<QCheckBox>("doProxy")->isChecked(), proxy);
    QCOMPARE(child<QPushButton>("setScript")->text(), script);
    QVariantMap expected = stored;
    for (auto it = storedAfter.begin(); it != storedAfter.end(); ++it)
        expected.insert(it.key(), it.value());
    QSettings s = settings();
    QCOMPARE(s.allKeys().size(), expected.size());
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(s.value(it.key()), it.value());
}

void TestPreferences::form()
{
    m_dialog = std::make_unique<Preferences>();
    // The crash-report choice is fixed.
    auto *crash = child<QAbstractButton>("crashReports");
    QVERIFY(crash->isChecked() && !crash->isEnabled());
    // "Confirm Reset" is usable exactly while its enabler is checked.
    auto *enabler = child<QGroupBox>("clearEnabler");
    auto *clear = child<QPushButton>("clear");
    QVERIFY(!enabler->isChecked() && !clear->isEnabled());
    enabler->setChecked(true);
    QVERIFY(clear->isEnabled());
    enabler->setChecked(false);
    QVERIFY(!clear->isEnabled());

    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    const QDir pictures(qEnvironmentVariable("VQ6020_BINARY_DIR") + QStringLiteral("/pictures"));
    QVERIFY(pictures.mkpath(QStringLiteral(".")));
    QVERIFY(m_dialog->grab().save(pictures.filePath(QStringLiteral("preferences.png"))));
}

void TestPreferences::volumeSlider_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("label");
    QTest::newRow("maximum") << 253 << "Maximum Volume: 100%";
    QTest::newRow("half, right-aligned") << 126 << "Maximum Volume:  50%";
    QTest::newRow("zero") << 0 << "Maximum Volume:   0%";
}

void TestPreferences::volumeSlider()
{
    QFETCH(int, value);
    QFETCH(QString, label);
    m_dialog = std::make_unique<Preferences>();
    child<QSlider>("maxVolume")->setValue(value);
    QCOMPARE(child<QLabel>("volLabel")->text(), label);
    QCOMPARE(settings().value(SettingsKeys::kMaxVolume).toInt(), value);
}

void TestPreferences::checkingEntries_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("entryText");
    QTest::addColumn<bool>("check");
    QTest::addColumn<QString>("checkedAfter");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("storedValue");
    QTest::addColumn<QString>("log");
    QTest::addColumn<bool>("ipEnabled");
    QTest::addColumn<bool>("dnsEnabled");

    QTest::newRow("checking Connect by IP")
        << QVariantMap() << "Connect by IP" << true << "1110" << prioKey("LOC_IP", "checked") << true
        << "alterLocatorEnable connectPrio/LOC_IP/checked set to true" << true << false;
    QTest::newRow("checking Lookup by DNS")
        << QVariantMap() << "Lookup by DNS" << true << "1101" << prioKey("LOC_DNS", "checked") << true
        << "alterLocatorEnable connectPrio/LOC_DNS/checked set to true" << false << true;
    QTest::newRow("unchecking one of two")
        << QVariantMap() << "Proxy on LAN (Autolocate)" << false << "0100" << prioKey("LOC_PROXY_MDNS", "checked")
        << false << "alterLocatorEnable connectPrio/LOC_PROXY_MDNS/checked set to false" << false << false;
    QTest::newRow("unchecking the last is refused")
        << QVariantMap{{prioKey("LOC_PROXY_MDNS", "checked"), false},
                       {prioKey("LOC_DIRECT_MDNS", "checked"), false},
                       {prioKey("LOC_IP", "checked"), true}}
        << "Connect by IP" << false << "0010" << prioKey("LOC_IP", "checked") << true
        << "Override uncheck of last checked item" << true << false;
}

void TestPreferences::checkingEntries()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, entryText);
    QFETCH(bool, check);
    QFETCH(QString, checkedAfter);
    QFETCH(QString, key);
    QFETCH(bool, storedValue);
    QFETCH(QString, log);
    QFETCH(bool, ipEnabled);
    QFETCH(bool, dnsEnabled);

    store(stored);
    m_dialog = std::make_unique<Preferences>();
    LogCapture capture;
    entry(entryText)->setCheckState(check ? Qt::Checked : Qt::Unchecked);
    QCOMPARE(checks(), checkedAfter);
    QCOMPARE(settings().value(key).toBool(), storedValue);
    QCOMPARE(capture.count(log), 1);
    QCOMPARE(child<QLineEdit>("deviceIp")->isEnabled(), ipEnabled);
    QCOMPARE(child<QLineEdit>("deviceDNS")->isEnabled(), dnsEnabled);
}

void TestPreferences::movingEntries_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");            // as QAbstractItemModel::moveRow counts: the row it goes before
    QTest::addColumn<QStringList>("types"); // positions 0..3 after the move

    QTest::newRow("DNS to the top") << 3 << 0 << QStringList{"LOC_DNS", "LOC_PROXY_MDNS", "LOC_DIRECT_MDNS", "LOC_IP"};
    QTest::newRow("IP to the top") << 2 << 0 << QStringList{"LOC_IP", "LOC_PROXY_MDNS", "LOC_DIRECT_MDNS", "LOC_DNS"};
    QTest::newRow("top to the bottom") << 0 << 4
                                       << QStringList{"LOC_DIRECT_MDNS", "LOC_IP", "LOC_DNS", "LOC_PROXY_MDNS"};
}

void TestPreferences::movingEntries()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QStringList, types);

    m_dialog = std::make_unique<Preferences>();
    LogCapture capture;
    // What an internal drag and drop does to the list's model.
    QVERIFY(child<QListWidget>("listWidget")->model()->moveRow(QModelIndex(), from, QModelIndex(), to));
    for (int i = 0; i < types.size(); ++i) {
        const QByteArray type = types.at(i).toLatin1();
        QCOMPARE(settings().value(prioKey(type, "prio")).toInt(), i);
        QCOMPARE(
            capture.count(QStringLiteral("alterLocatorPriority connectPrio/%1/prio set to %2").arg(types.at(i)).arg(i)),
            1);
    }
}

void TestPreferences::typingAnAddress_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("stored");      // after the last key
    QTest::addColumn<QStringList>("written"); // every value stored on the way, in order

    QTest::newRow("a whole address") << "192.168.1.10"
                                     << "192.168.1.10"
                                     << "192.168.1.10" << QStringList{"192.168.1.1", "192.168.1.10"};
    // Qt would read these as 192.168.0.1 and 0.0.0.10.
    QTest::newRow("three parts") << "192.168.1"
                                 << "192.168.1"
                                 << "0.0.0.0" << QStringList();
    QTest::newRow("a single number") << "10"
                                     << "10"
                                     << "0.0.0.0" << QStringList();
    QTest::newRow("letters refused") << "radio.lan"
                                     << ""
                                     << "0.0.0.0" << QStringList();
    QTest::newRow("octet over 255 refused") << "10.0.0.256"
                                            << "10.0.0.25"
                                            << "10.0.0.25" << QStringList{"10.0.0.2", "10.0.0.25"};
}

void TestPreferences::typingAnAddress()
{
    QFETCH(QString, keys);
    QFETCH(QString, shown);
    QFETCH(QString, stored);
    QFETCH(QStringList, written);

    store({{prioKey("LOC_IP", "checked"), true}});
    m_dialog = std::make_unique<Preferences>();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    auto *field = child<QLineEdit>("deviceIp");
    field->setFocus();
    field->selectAll();
    LogCapture capture;
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, keys);
    QCOMPARE(field->text(), shown);
    QCOMPARE(settings().value(prioKey("LOC_IP", "extended"), QStringLiteral("0.0.0.0")).toString(), stored);
    QStringList seen;
    for (const QString &line : capture.matching(QStringLiteral("alterExtendedPriority connectPrio/LOC_IP/extended")))
        seen << line.section(QLatin1Char(' '), 4);
    QCOMPARE(seen, written);
}

void TestPreferences::midiList_data()
{
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("saved"); // empty: none stored
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("current");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("no devices, none saved") << QStringList() << QString() << QStringList{"None"} << "None" << false;
    QTest::newRow("no devices, one saved") << QStringList() << "Pad" << QStringList{"Pad"} << "Pad" << false;
    QTest::newRow("devices, none saved") << QStringList{"Pad", "Keys"} << QString()
                                         << QStringList{"None", "Pad", "Keys"} << "None" << true;
    QTest::newRow("saved device present")
        << QStringList{"Pad", "Keys"} << "Keys" << QStringList{"None", "Pad", "Keys"} << "Keys" << true;
    // The saved controller is unplugged: the list shows "None", the choice stays stored for its return.
    QTest::newRow("saved device absent") << QStringList{"Keys"} << "Pad" << QStringList{"None", "Keys"} << "None"
                                         << true;
}

void TestPreferences::midiList()
{
    QFETCH(QStringList, devices);
    QFETCH(QString, saved);
    QFETCH(QStringList, shown);
    QFETCH(QString, current);
    QFETCH(bool, enabled);

    if (!saved.isEmpty())
        store({{SettingsKeys::kMidiDevice, saved}});
    m_dialog = std::make_unique<Preferences>();
    QSignalSpy reloads(m_dialog.get(), &Preferences::reloadMidi);
    LogCapture capture;
    for (int round = 0; round < 2; ++round) { // a second refill changes nothing either
        m_dialog->midiDevices(devices);
        auto *selector = child<QComboBox>("midiSelector");
        QStringList texts;
        for (int i = 0; i < selector->count(); ++i)
            texts << selector->itemText(i);
        QCOMPARE(texts, shown);
        QCOMPARE(selector->currentText(), current);
        QCOMPARE(selector->isEnabled(), enabled);
    }
    QCOMPARE(reloads.size(), 0);
    QCOMPARE(capture.count(QStringLiteral("Saved midi device changed")), 0);
    QCOMPARE(settings().contains(SettingsKeys::kMidiDevice), !saved.isEmpty());
    if (!saved.isEmpty())
        QCOMPARE(settings().value(SettingsKeys::kMidiDevice).toString(), saved);
}

void TestPreferences::midiPick_data()
{
    QTest::addColumn<QString>("first");  // picked first
    QTest::addColumn<QString>("second"); // then, or empty
    QTest::addColumn<int>("openError");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("openedIndex");

    QTest::newRow("a device") << "Keys" << QString() << 0 << "MIDI Device OK (Keys, 2)" << 2;
    QTest::newRow("a device that fails to open")
        << "Keys" << QString() << -9 << "MIDI Device Failed (Keys, 2), code -9" << -1;
    QTest::newRow("a device, then None") << "Keys"
                                         << "None" << 0 << "Midi Device Closed" << -1;
}

void TestPreferences::midiPick()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, openError);
    QFETCH(QString, status);
    QFETCH(int, openedIndex);

    auto source = std::make_unique<ScriptedMidiSource>();
    source->addDevice(QStringLiteral("Pad"), true);
    source->addDevice(QStringLiteral("Thru"), false, true);
    source->addDevice(QStringLiteral("Keys"), true);
    source->openError = openError;
    ScriptedMidiSource *devices = source.get();
    Midi midi(std::move(source), nullptr, 0);
    m_dialog = std::make_unique<Preferences>();
    // As the main window wires them.
    connect(m_dialog.get(), &Preferences::reloadMidi, &midi, &Midi::reloadMidi);
    connect(&midi, &Midi::midiStatusChanged, m_dialog.get(), &Preferences::midiStatusChanged);
    m_dialog->midiDevices(midi.listInputDevices());
    QCOMPARE(child<QLabel>("midiStatus")->text(), QStringLiteral("Found 2 MIDI Input Devices."));
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));

    auto *selector = child<QComboBox>("midiSelector");
    selector->setFocus();
    LogCapture capture;
    auto pick = [&](const QString &name) {
        // The user steps through the list with the arrow keys.
        const int target = selector->findText(name);
        while (selector->currentIndex() != target)
            QTest::keyClick(selector, selector->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
    };
    pick(first);
    if (!second.isEmpty())
        pick(second);
    const QString last = second.isEmpty() ? first : second;
    QCOMPARE(settings().value(SettingsKeys::kMidiDevice).toString(), last);
    QVERIFY(capture.contains(QStringLiteral("Saved midi device changed ") + last));
    QCOMPARE(child<QLabel>("midiStatus")->text(), status);
    QCOMPARE(devices->openedIndex, openedIndex);
}

void TestPreferences::script_data()
{
    QTest::addColumn<bool>("choose");
    QTest::newRow("a file chosen") << true;
    QTest::newRow("cancelled") << false;
}

void TestPreferences::script()
{
    QFETCH(bool, choose);
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("knobs.qml"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();

    m_dialog = std::make_unique<Preferences>();
    m_dialog->show();
    QString caption;
    QStringList filters;
    QTimer::singleShot(0, this, [&] {
        QTRY_VERIFY(qobject_cast<QFileDialog *>(QApplication::activeModalWidget()));
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        caption = dialog->windowTitle();
        filters = dialog->nameFilters();
        if (choose) {
            dialog->selectFile(file);
            QMetaObject::invokeMethod(dialog, "accept");
        } else {
            dialog->reject();
        }
    });
    QTest::mouseClick(child<QPushButton>("setScript"), Qt::LeftButton);
    QCOMPARE(caption, QStringLiteral("Select QML Script to open"));
    QCOMPARE(filters, QStringList{"QML File (*.qml)"});
    QCOMPARE(settings().contains(SettingsKeys::kScript), choose);
    QCOMPARE(child<QPushButton>("setScript")->text(), choose ? file : QStringLiteral("Not Set"));
}

void TestPreferences::reset()
{
    store({{SettingsKeys::kNetPsk, QByteArray(16, 'k')},
           {SettingsKeys::kMaxVolume, 200},
           {SettingsKeys::kProxyMode, true},
           {SettingsKeys::kScript, "/tmp/x.qml"},
           {SettingsKeys::kMidiDevice, "Pad"},
           {prioKey("LOC_IP", "checked"), true},
           {prioKey("LOC_IP", "prio"), 0},
           {prioKey("LOC_PROXY_MDNS", "prio"), 2},
           {prioKey("LOC_IP", "extended"), "10.0.0.9"},
           {"mainWindow/frameRate", "actionFPS_05"}});
    m_dialog = std::make_unique<Preferences>();
    m_dialog->midiDevices({QStringLiteral("Pad")});
    QSignalSpy reloads(m_dialog.get(), &Preferences::reloadMidi);
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    auto *clear = child<QPushButton>("clear");
    QVERIFY(!clear->isEnabled());
    child<QGroupBox>("clearEnabler")->setChecked(true);
    QTest::mouseClick(clear, Qt::LeftButton);

    QCOMPARE(settings().allKeys(), QStringList());
    // What the dialog shows is what is in force now: the defaults.
    QCOMPARE(entries(), kDefaultOrder);
    QCOMPARE(checks(), QStringLiteral("1100"));
    QCOMPARE(child<QSlider>("maxVolume")->value(), Preferences::kDefaultMaxVolume);
    QCOMPARE(child<QLabel>("volLabel")->text(), QStringLiteral("Maximum Volume:  25%"));
    QVERIFY(!child<QCheckBox>("doProxy")->isChecked());
    QCOMPARE(child<QPushButton>("setScript")->text(), QStringLiteral("Not Set"));
    QCOMPARE(child<QLineEdit>("deviceIp")->text(), QStringLiteral("0.0.0.0"));
    QVERIFY(!child<QLineEdit>("deviceIp")->isEnabled());
    QCOMPARE(child<QComboBox>("midiSelector")->currentText(), QStringLiteral("None"));
    QCOMPARE(child<QLabel>("midiStatus")->text(), QStringLiteral("Midi Device Closed"));
    QCOMPARE(reloads.size(), 1); // the MIDI input lets go of the erased device
    QVERIFY(!clear->isEnabled());
    // Showing the defaults wrote none of them.
    QCOMPARE(settings().allKeys(), QStringList());
}

void TestPreferences::closingAppliesVolumeLimit_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QVariant>("slider"); // moved to this, or the store is hand-edited with "edited"
    QTest::addColumn<QVariant>("edited");
    QTest::addColumn<int>("maximum");

    QTest::newRow("Done") << "done" << QVariant(200) << QVariant() << 200;
    QTest::newRow("Esc") << "esc" << QVariant(120) << QVariant() << 120;
    QTest::newRow("title bar") << "close" << QVariant(253) << QVariant() << 253;
    // -5 would reach the unit as volume 251.
    QTest::newRow("hand-edited below range") << "done" << QVariant() << QVariant(-5) << 0;
    QTest::newRow("hand-edited above range") << "done" << QVariant() << QVariant(1000) << 253;
    QTest::newRow("hand-edited, not a number") << "done" << QVariant() << QVariant("max") << 62;
}

void TestPreferences::closingAppliesVolumeLimit()
{
    QFETCH(QString, how);
    QFETCH(QVariant, slider);
    QFETCH(QVariant, edited);
    QFETCH(int, maximum);

    MainWindow window(nullptr, Clock::steady(), std::make_unique<ScriptedMidiSource>());
    Preferences *dialog = window.preferences();
    QVERIFY(dialog && !dialog->parent());
    QVERIFY(dialog->isModal());
    QAction *settingsAction = window.findChild<QAction *>(QStringLiteral("actionSettings"));
    QVERIFY(settingsAction->isEnabled());
    QVERIFY(window.findChild<QAction *>(QStringLiteral("actionCheck_for_Updates"))->isEnabled());
    settingsAction->trigger();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    if (slider.isValid())
        dialog->findChild<QSlider *>(QStringLiteral("maxVolume"))->setValue(slider.toInt());
    if (edited.isValid())
        store({{SettingsKeys::kMaxVolume, edited}});
    if (how == QLatin1String("done"))
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("done")), Qt::LeftButton);
    else if (how == QLatin1String("esc"))
        QTest::keyClick(dialog, Qt::Key_Escape);
    else
        dialog->close();
    QTRY_VERIFY(!dialog->isVisible());
    auto *volume = window.findChild<QDial *>(QStringLiteral("volume"));
    QCOMPARE(volume->maximum(), maximum);
    QVERIFY(volume->minimum() == 0 && volume->value() >= 0);
}

QTEST_MAIN(TestPreferences)
#include "tst_Preferences.moc"
