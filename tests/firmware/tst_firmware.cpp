// The maintenance window offscreen, against scripted USB detection and the emulated unit.
#include "../maintenance/Protoc.h"
#include "support/LogCapture.h"
#include "TestImages.h"
#include "EmulatedFtdi.h"
#include "UnitConsole.h"
#include "app/AppPlatform.h"
#include "app/SettingsKeys.h"
#include "app/UsbProbe.h"
#include "maintenance/Blobs.h"
#include "maintenance/Firmware.h"
#include "maintenance/JtagTap.h"

#include <QDialogButtonBox>
#include <QErrorMessage>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

class ScriptedProbe : public UsbProbe
{
public:
    bool listed = true;
    QList<Device> devices;
    int openResult = kOpenOk;
    bool listDevices(QList<Device> *out) override
    {
        *out = devices;
        return listed;
    }
    int tryOpen(const Device &) override { return openResult; }
    QString boundDriver(const Device &) override { return QStringLiteral("usbfs"); }
    QString errorName(int error) override { return QString::number(error); }
};

void scriptUsb(const QString &how)
{
    auto probe = std::make_unique<ScriptedProbe>();
    UsbProbe::Device bridge;
    bridge.vendor = 0x0403;
    bridge.product = 0x6010;
    bridge.sysfsName = QStringLiteral("1-4");
    probe->listed = how != "no library";
    if (how == "usable" || how == "access denied")
        probe->devices << bridge;
    if (how == "access denied")
        probe->openResult = UsbProbe::kOpenAccessDenied;
    AppPlatform::instance().setUsbProbe(how == "real" ? nullptr : std::move(probe));
}

QSettings settings()
{
    return QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
}

template <typename T> T *child(QWidget *w, const char *name)
{
    return w->findChild<T *>(QString::fromLatin1(name));
}

} // namespace

class tst_firmware : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_flashPath;
    std::shared_ptr<EmulatedUnit> m_unit;
    std::shared_ptr<UnitConsole> m_console;
    std::unique_ptr<Blobs> m_blobs;
    QStringList m_questions;

    std::unique_ptr<Firmware> makeWindow(int answer = QMessageBox::No)
    {
        auto w = std::make_unique<Firmware>(nullptr, m_blobs.get(), m_unit->oneMsPause());
        w->setAsker([this, answer](QMessageBox &box) {
            m_questions << box.text();
            return box.defaultButton() == box.button(QMessageBox::No) ? answer : int(QMessageBox::Yes);
        });
        return w;
    }
    static QString log(Firmware *w) { return child<QPlainTextEdit>(w, "statusLog")->toPlainText(); }
    static void click(Firmware *w, const char *name) { child<QPushButton>(w, name)->click(); }
    QByteArray flash()
    {
        QFile f(m_flashPath);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // A record protoc wrote, placed where the unit keeps it.
    void writeRecord(const QByteArray &text)
    {
        bool ok = false;
        const QByteArray record = Protoc::encodeDelimited(text, &ok);
        QVERIFY(ok);
        m_unit->flash().load(ConfigRecord::kFlashAddress, std::vector<uint8_t>(record.begin(), record.end()));
    }

    // Runs the current test row again in a child process with the libftdi stand-in preloaded on this flash file.
    static bool runPreloaded(const QString &flashFile)
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VQ_FIRMWARE_PRELOADED"), QStringLiteral("1"));
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(VQ6020_FTDI_PRELOAD));
        env.insert(QStringLiteral("VQ6020_USBEMU_FLASH"), flashFile);
        // The stand-in carries no sanitizer runtime; a sanitized test only has to accept the load order.
        env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) +
                                                       QStringLiteral(":verify_asan_link_order=0:detect_leaks=0"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("%1:%2").arg(QLatin1String(QTest::currentTestFunction()),
                                                 QLatin1String(QTest::currentDataTag()))});
        const bool ended = child.waitForFinished(30000);
        const QByteArray out = child.readAll();
        if (!ended || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
            qWarning().noquote() << out;
        return ended && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void init()
    {
        settings().clear();
        m_questions.clear();
        JtagTap::instance().close();
        m_flashPath = m_dir.filePath(QStringLiteral("flash-%1.bin").arg(QTest::currentTestFunction()));
        QFile::remove(m_flashPath);
        UnitOptions options;
        options.flashFile = m_flashPath.toStdString();
        m_unit = std::make_shared<EmulatedUnit>(options);
        m_console = std::make_shared<UnitConsole>(m_unit);
        ftdiTransportFactory() = consoleFtdiFactory(m_console);
        m_blobs = std::make_unique<Blobs>(TestImages::passphrase(), TestImages::directory());
        scriptUsb(QStringLiteral("usable"));
    }

    void form_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        const QList<QPair<const char *, const char *>> rows = {
            {"label_5", "USB Device is not detected.  Please ensure device's USB-C port is plugged into this machine"},
            {"deviceConfigRoot", "Device Configuration"},
            {"groupBox_6", "Networking"},
            {"ipDHCP", "DHCP"},
            {"ipStatic", "Static"},
            {"label", "IP"},
            {"label_2", "Mask"},
            {"label_3", "Gateway"},
            {"label_4", "DNS1"},
            {"configRead", "Read Configuration"},
            {"configWrite", "Write Configuration"},
            {"groupBox_3", "Radio Access File Source"},
            {"raf_regen", "Regenerate RAF (Log out other computers)"},
            {"raf_vq6020", "Use RAF stored on VQ6020"},
            {"raf_this", "Use RAF stored in this application"},
            {"groupBox", "Firmware"},
            {"gateware_program", "Update Firmware"},
            {"log", "Attach to device log"},
            {"reset", "Reboot"},
            {"groupBox_2", "Status"},
        };
        for (const auto &r : rows)
            QTest::newRow(r.first) << r.first << r.second;
    }

    void form()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        auto w = makeWindow();
        QWidget *widget = w->findChild<QWidget *>(name);
        QVERIFY(widget);
        QString shown;
        if (auto *b = qobject_cast<QAbstractButton *>(widget))
            shown = b->text();
        else if (auto *l = qobject_cast<QLabel *>(widget))
            shown = l->text();
        else if (auto *g = qobject_cast<QGroupBox *>(widget))
            shown = g->title();
        QCOMPARE(shown, text);
    }

    void layout()
    {
        auto w = makeWindow();
        QCOMPARE(w->windowTitle(), QStringLiteral("Firmware Control"));
        QCOMPARE(w->size(), QSize(351, 493));
        QVERIFY(w->parent() == nullptr);
        QVERIFY(!w->testAttribute(Qt::WA_QuitOnClose));
        QCOMPARE(w->timerPeriodMs(), 33);
        auto *stack = child<QStackedWidget>(w.get(), "usbStacked");
        QStringList pages;
        for (int i = 0; i < stack->count(); ++i)
            pages << stack->widget(i)->objectName();
        QCOMPARE(pages, QStringList({"usbNotPresent", "usbPresentBadDriver", "usbPresent", "page_2"}));
        QCOMPARE(child<QPlainTextEdit>(w.get(), "statusLog")->font().family(), QStringLiteral("Courier New"));
        QCOMPARE(child<QDialogButtonBox>(w.get(), "buttonBox")->standardButtons(), QDialogButtonBox::Close);
        auto *addr = child<QLineEdit>(w.get(), "ipStaticDNS");
        QCOMPARE(addr->inputMask(), QStringLiteral("000.000.000.000"));
        QVERIFY(addr->validator());

        const QStringList order = {"ipDHCP",           "ipStaticAddr", "ipStaticMask", "ipStaticGateway",
                                   "ipStaticDNS",      "ipStatic",     "configRead",   "configWrite",
                                   "gateware_program", "log",          "reset",        "statusLog"};
        QStringList chain;
        QWidget *at = w->findChild<QWidget *>(order.first());
        for (int i = 0; i < 200 && chain.size() < order.size(); ++i, at = at->nextInFocusChain()) {
            if (order.contains(at->objectName()) && !chain.contains(at->objectName()))
                chain << at->objectName();
        }
        QCOMPARE(chain, order);
    }

    void detection_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("page");
        QTest::newRow("nothing on the bus") << "none"
                                            << "usbNotPresent";
        QTest::newRow("no usb library") << "no library"
                                        << "usbNotPresent";
        QTest::newRow("this user may not open it") << "access denied"
                                                   << "usbPresentBadDriver";
        QTest::newRow("usable") << "usable"
                                << "usbPresent";
    }

    void detection()
    {
        QFETCH(QString, how);
        QFETCH(QString, page);
        scriptUsb(how);
        auto w = makeWindow();
        QCOMPARE(child<QStackedWidget>(w.get(), "usbStacked")->currentWidget()->objectName(), page);
        // What a user of this system can do about it, not another system's driver tool.
        QCOMPARE(child<QLabel>(w.get(), "label_6")->text(), AppPlatform::usbUnusableHint());
        QVERIFY(AppPlatform::usbUnusableHint().contains(QLatin1String("60-vq6020.rules")));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const QString picture = QStringLiteral("%1/firmware-%2.png").arg(QDir::currentPath(), page);
        QVERIFY(w->grab().save(picture));
    }

    void controlState_data()
    {
        QTest::addColumn<QByteArray>("record"); // protoc text; empty: erased flash
        QTest::addColumn<bool>("keyStored");
        QTest::addColumn<bool>("read");
        QTest::addColumn<QString>("keySource");
        QTest::addColumn<bool>("writeEnabled");
        QTest::addColumn<bool>("addressesEnabled");
        QTest::addColumn<QString>("address");

        const QByteArray staticKey = "timestamp: \"2026-01-02 03.04.05 AM\" staticIp { address: 167880896 mask: "
                                     "16777215 gateway: 16885952 dns: 16885952 } psk: \"0123456789abcdef\"";
        const QByteArray dhcpNoKey = "timestamp: \"2026-01-02 03.04.05 AM\" dhcp { }";
        QTest::newRow("nothing read, no key") << QByteArray() << false << false << "raf_regen" << false << false << "";
        QTest::newRow("nothing read, key stored")
            << QByteArray() << true << false << "raf_this" << false << false << "";
        QTest::newRow("erased flash read")
            << QByteArray() << false << true << "raf_regen" << true << false << "0.0.0.0";
        QTest::newRow("static record with key")
            << staticKey << false << true << "raf_vq6020" << true << true << "192.168.1.10";
        QTest::newRow("dhcp record, key stored")
            << dhcpNoKey << true << true << "raf_this" << true << false << "0.0.0.0";
    }

    void controlState()
    {
        QFETCH(QByteArray, record);
        QFETCH(bool, keyStored);
        QFETCH(bool, read);
        QFETCH(QString, keySource);
        QFETCH(bool, writeEnabled);
        QFETCH(bool, addressesEnabled);
        QFETCH(QString, address);
        if (keyStored)
            settings().setValue(SettingsKeys::kNetPsk, QByteArray("fedcba9876543210"));
        if (!record.isEmpty())
            writeRecord(record);
        auto w = makeWindow();
        if (read)
            click(w.get(), "configRead");
        QVERIFY(child<QRadioButton>(w.get(), qPrintable(keySource))->isChecked());
        QCOMPARE(child<QPushButton>(w.get(), "configWrite")->isEnabled(), writeEnabled);
        QCOMPARE(child<QRadioButton>(w.get(), "ipStatic")->isEnabled(), read);
        QCOMPARE(child<QRadioButton>(w.get(), "raf_regen")->isEnabled(), read);
        QCOMPARE(child<QLineEdit>(w.get(), "ipStaticAddr")->isEnabled(), addressesEnabled);
        for (const char *name : {"configRead", "gateware_program", "reset"})
            QVERIFY(child<QPushButton>(w.get(), name)->isEnabled());
        if (read)
            QCOMPARE(child<QLineEdit>(w.get(), "ipStaticAddr")->text().remove(' '), address);
        if (addressesEnabled) {
            // Back to DHCP: the addresses are no longer the user's to edit.
            child<QRadioButton>(w.get(), "ipDHCP")->click();
            QVERIFY(!child<QLineEdit>(w.get(), "ipStaticAddr")->isEnabled());
        }
    }

    void irreversibleStepsAskFirst_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("regenerate");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("consequence");
        QTest::newRow("update, declined") << "gateware_program" << false << int(QMessageBox::No) << "erases";
        QTest::newRow("regenerate, declined") << "configWrite" << true << int(QMessageBox::No) << "logs out";
        QTest::newRow("regenerate, accepted") << "configWrite" << true << int(QMessageBox::Yes) << "logs out";
        QTest::newRow("unit's key: no question") << "configWrite" << false << int(QMessageBox::No) << "";
    }

    void irreversibleStepsAskFirst()
    {
        QFETCH(QString, button);
        QFETCH(bool, regenerate);
        QFETCH(int, answer);
        QFETCH(QString, consequence);
        writeRecord("timestamp: \"t\" dhcp { } psk: \"0123456789abcdef\"");
        settings().setValue(SettingsKeys::kNetPsk, QByteArray("0123456789abcdef"));
        auto w = makeWindow(answer);
        click(w.get(), "configRead");
        child<QRadioButton>(w.get(), regenerate ? "raf_regen" : "raf_vq6020")->setChecked(true);
        const QByteArray before = flash();
        QVERIFY(!before.isEmpty());

        click(w.get(), qPrintable(button));
        QTRY_VERIFY_WITH_TIMEOUT(!w->jobs().busy(), 20000);
        if (consequence.isEmpty()) {
            QVERIFY(m_questions.isEmpty());
            QVERIFY(log(w.get()).contains(QLatin1String("Using key from VQ6020")));
            return;
        }
        QCOMPARE(m_questions.size(), 1);
        QVERIFY2(m_questions.first().contains(consequence), qPrintable(m_questions.first()));
        const bool changed = settings().value(SettingsKeys::kNetPsk).toByteArray() != "0123456789abcdef";
        QCOMPARE(changed, answer == QMessageBox::Yes);
        QCOMPARE(flash() != before, answer == QMessageBox::Yes);
    }

    void updateKeepsTheWindowAlive()
    {
        auto w = makeWindow(QMessageBox::Yes);
        w->show();
        int fired = 0;
        QTimer other;
        connect(&other, &QTimer::timeout, [&fired] { ++fired; });
        other.start(10);
        click(w.get(), "gateware_program");
        QVERIFY(w->jobs().busy());
        QTRY_COMPARE_WITH_TIMEOUT(w->timerPeriodMs(), 0, 1000);
        for (const char *name : {"configRead", "gateware_program", "reset"})
            QTRY_VERIFY(!child<QPushButton>(w.get(), name)->isEnabled());
        const int firedBefore = fired;
        QTRY_VERIFY_WITH_TIMEOUT(!w->jobs().busy(), 40000);
        QVERIFY2(fired > firedBefore + 3, qPrintable(QString::number(fired - firedBefore)));
        QCOMPARE(w->timerPeriodMs(), 33);
        QVERIFY(child<QPushButton>(w.get(), "gateware_program")->isEnabled());

        const QString text = log(w.get());
        int at = 0;
        for (const char *line :
             {"JTAG: Initialize interface", "Starting flash erase", "erase 64kB sector at 0x000000",
              "JTAG: Erase Done.", "JTAG: Program Done.", "JTAG: Flash Verify PASS.", "JTAG: Issue Device Refresh"}) {
            const int next = text.indexOf(QLatin1String(line), at);
            QVERIFY2(next >= 0, line);
            at = next;
        }
        QCOMPARE(UnitConsole::imageCrc(m_unit->flash().contents()), w->jobs().imageCrc());
    }

    void console_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("banner after reboot") << "reboot"
                                             << QStringList{"Open Console Device", "Open OK, streaming console",
                                                            "network: static 192.168.1.10", "key: present"};
        QTest::newRow("banner after reboot, libftdi stand-in")
            << "reboot, preloaded"
            << QStringList{"Open Console Device", "Open OK, streaming console", "image crc 00000000",
                           "network: static 192.168.1.10", "key: present"};
        QTest::newRow("bridge unplugged")
            << "unplugged"
            << QStringList{"Open Console Device", "Failed to open FTDI device: ", "USB device plugged in?"};
        QTest::newRow("read error while streaming")
            << "read error"
            << QStringList{"Open OK, streaming console", "Error during read of serial port -1", "Closing port"};
        QTest::newRow("unplugged while streaming")
            << "unplugged while streaming"
            << QStringList{"Open OK, streaming console", "Error during read of serial port -1", "Closing port"};
    }

    void console()
    {
        QFETCH(QString, scene);
        QFETCH(QStringList, lines);
        writeRecord("timestamp: \"t\" staticIp { address: 167880896 mask: 16777215 gateway: 16885952 dns: "
                    "16885952 } psk: \"0123456789abcdef\"");
        const bool preloaded = scene == "reboot, preloaded";
        if (preloaded && !qEnvironmentVariableIsSet("VQ_FIRMWARE_PRELOADED")) {
            // The same scene in a process whose libftdi is the stand-in, on the flash file just written.
            m_console.reset();
            m_unit.reset();
            QVERIFY(runPreloaded(m_flashPath));
            return;
        }
        if (preloaded) {
            // Never a real bridge that happens to be plugged in.
            QFile maps(QStringLiteral("/proc/self/maps"));
            QVERIFY(maps.open(QIODevice::ReadOnly) && maps.readAll().contains("vq6020-ftdi-preload"));
            ftdiTransportFactory() = nullptr; // LibFtdiTransport, served by the stand-in
        }
        m_unit->faults().absent = scene == "unplugged";
        auto w = makeWindow();
        click(w.get(), "log");
        if (scene.startsWith(QLatin1String("reboot"))) {
            click(w.get(), "reset");
            QTRY_VERIFY(log(w.get()).contains(QLatin1String("key: present")));
            QVERIFY(!log(w.get()).contains(QChar(0x1b)));
        }
        if (scene == "reboot") {
            click(w.get(), "configRead");
            w->show();
            QVERIFY(QTest::qWaitForWindowExposed(w.get()));
            QVERIFY(w->grab().save(QDir::current().filePath(QStringLiteral("firmware-console.png"))));
        } else if (scene == "read error" || scene == "unplugged while streaming") {
            if (scene == "read error")
                m_unit->faults().readError = true;
            else
                m_unit->unplug();
            QTRY_VERIFY(log(w.get()).contains(QLatin1String("Closing port")));
        }
        const QString text = log(w.get());
        int at = 0;
        for (const QString &line : lines) {
            const int next = text.indexOf(line, at);
            QVERIFY2(next >= 0, qPrintable(line + " in\n" + text));
            at = next;
        }
        // Streaming keeps the button off; a failed or closed console may be tried again.
        QCOMPARE(child<QPushButton>(w.get(), "log")->isEnabled(), !scene.startsWith(QLatin1String("reboot")));
        QCOMPARE(w->consoleOpen(), scene.startsWith(QLatin1String("reboot")));
    }

    void consoleWrongLineSettingsShowNoText()
    {
        // A host at 9600 baud reads framing garbage, not the banner.
        m_unit->channel(1).baud = 9600;
        m_console->say("key: present\r\n");
        unsigned char buffer[64] = {};
        EmulatedFtdi host(m_unit);
        host.setInterface(FtdiTransport::InterfaceB);
        QVERIFY(host.open(0x0403, 0x6010) >= 0);
        host.setBaudRate(9600);
        m_console->say("key: present\r\n");
        const int n = host.readData(buffer, sizeof buffer);
        QCOMPARE(n, 14);
        QVERIFY(QByteArray(reinterpret_cast<char *>(buffer), n) != "key: present\r\n");
    }

    void statusLogKeepsTheNewestLines()
    {
        auto w = makeWindow();
        click(w.get(), "log");
        LogCapture logged;
        // 500 lines a tick, eleven ticks: more than the window keeps, each tick under the chip's buffer.
        QByteArray chunk;
        for (int i = 0; i < 500; ++i)
            chunk += "x\n";
        for (int tick = 0; tick < 11; ++tick) {
            m_console->say(std::string(chunk.constData(), size_t(chunk.size())));
            QTRY_COMPARE(int(m_unit->channel(1).uartReceive.size()), 0);
        }
        m_console->say("last\n");
        QTRY_VERIFY(log(w.get()).endsWith(QLatin1String("last\n")));
        QCOMPARE(child<QPlainTextEdit>(w.get(), "statusLog")->blockCount(), Firmware::kStatusLogLines);
        QCOMPARE(logged.count(QStringLiteral("x\nx\n")), 11);
        QCOMPARE(m_unit->consoleLost(), size_t(0));
    }

    void consoleBytes_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("shown");
        QTest::newRow("colours") << QByteArray("\x1b[1;33mkey\x1b[0m: \x1b[32mpresent\x1b[0m") << "key: present";
        QTest::newRow("stray escape and NUL") << QByteArray("a\x1b"
                                                            "\x00"
                                                            "b\x1b[",
                                                            6)
                                              << QString::fromLatin1("a\x1b"
                                                                     "\x00"
                                                                     "b\x1b[",
                                                                     6);
        QTest::newRow("latin-1") << QByteArray("\xb0"
                                               "C \xff")
                                 << QString::fromLatin1("\xb0"
                                                        "C \xff");
        // More than one read takes: the first tick shows what one read holds.
        QTest::newRow("flood") << QByteArray(3000, 'z') << QString(Firmware::kConsoleReadBytes, 'z');
    }

    void consoleBytes()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QString, shown);
        auto w = makeWindow();
        click(w.get(), "log");
        m_console->say(std::string(sent.constData(), size_t(sent.size())));
        QTRY_VERIFY(log(w.get()).contains(QLatin1String("streaming console\n")));
        const QString text = log(w.get());
        QCOMPARE(text.mid(text.indexOf(QLatin1String("streaming console\n")) + 18).section('\n', 0, 0), shown);
    }

    void versionWarningOnce_data()
    {
        QTest::addColumn<QList<int>>("offsets"); // reported CRC minus the image's, one per report
        QTest::addColumn<int>("warnings");
        QTest::newRow("same image") << QList<int>{0, 0} << 0;
        QTest::newRow("other image, twice") << QList<int>{1, 2} << 1;
        QTest::newRow("same, then other") << QList<int>{0, 1} << 1;
    }

    void versionWarningOnce()
    {
        QFETCH(QList<int>, offsets);
        QFETCH(int, warnings);
        auto w = makeWindow();
        QVERIFY(w->jobs().buildImage());
        for (int offset : offsets)
            w->gotCRC32FromApplication(w->jobs().imageCrc() + quint32(offset));
        QList<QErrorMessage *> shown;
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (auto *m = qobject_cast<QErrorMessage *>(top); m && m->isVisible())
                shown << m;
        }
        QCOMPARE(shown.size(), warnings);
        qDeleteAll(shown);
    }

    void simulatedUnitBootsFromTheFlashFile_data()
    {
        QTest::addColumn<bool>("update");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("absent file") << false
                                     << QStringList{"Created erased flash file", "image CRC 00000000,",
                                                    "Key from the configuration record"};
        QTest::newRow("after an update") << true << QStringList{"image CRC %1,", "holds no decodable key"};
    }

    void simulatedUnitBootsFromTheFlashFile()
    {
        QFETCH(bool, update);
        QFETCH(QStringList, lines);
        const QString path = m_dir.filePath(QStringLiteral("sim-%1.bin").arg(QTest::currentDataTag()));
        QFile::remove(path);
        if (update) {
            UnitOptions options;
            options.flashFile = path.toStdString();
            m_unit = std::make_shared<EmulatedUnit>(options);
            ftdiTransportFactory() = emulatedFtdiFactory(m_unit);
            auto w = makeWindow(QMessageBox::Yes);
            click(w.get(), "gateware_program");
            QTRY_VERIFY_WITH_TIMEOUT(!w->jobs().busy(), 40000);
            lines[0] = lines[0].arg(w->jobs().imageCrc(), 8, 16, QChar('0'));
        }
        QProcess sim;
        sim.setProcessChannelMode(QProcess::MergedChannels);
        sim.start(qEnvironmentVariable("VQ6020_SIM"),
                  {"--flash", path, "--no-control", "--no-mdns", "--seconds", "0.2"});
        QVERIFY(sim.waitForFinished(10000));
        const QString out = QString::fromLocal8Bit(sim.readAll());
        for (const QString &line : lines)
            QVERIFY2(out.contains(line), qPrintable(line + " in\n" + out));
        QCOMPARE(QFileInfo(path).size(), qint64(2 * 1024 * 1024));
    }

    // A new key written over USB restarts the simulated unit on the same file, with that key.
    void simulatedUnitRestartsWhenTheFlashChanges()
    {
        ftdiTransportFactory() = nullptr;
        m_console.reset();
        m_unit.reset();
        QVERIFY(QFile::remove(m_flashPath));
        QProcess sim;
        sim.setProcessChannelMode(QProcess::MergedChannels);
        sim.start(qEnvironmentVariable("VQ6020_SIM"),
                  {"--flash", m_flashPath, "--no-control", "--no-mdns", "--key", "00112233445566778899aabbccddeeff"});
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromLocal8Bit(sim.readAll())).contains("vq6020-sim ready"), 10000);
        QVERIFY2(out.contains("Created erased flash file"), qPrintable(out));
        // The emulated bridge opens the file the unit created and now shares it.
        UnitOptions options;
        options.flashFile = m_flashPath.toStdString();
        m_unit = std::make_shared<EmulatedUnit>(options);
        ftdiTransportFactory() = emulatedFtdiFactory(m_unit);

        auto w = makeWindow(QMessageBox::Yes);
        click(w.get(), "configRead");
        QCOMPARE(settings().value(SettingsKeys::kNetPsk).toByteArray().toHex(),
                 QByteArray("00112233445566778899aabbccddeeff"));
        child<QRadioButton>(w.get(), "raf_regen")->setChecked(true);
        click(w.get(), "configWrite");
        QTRY_VERIFY_WITH_TIMEOUT(!w->jobs().busy(), 10000);
        QVERIFY(log(w.get()).contains("Generating new secret key"));
        QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromLocal8Bit(sim.readAll())).contains("the unit restarts"), 10000);
        QVERIFY(out.lastIndexOf("Key from the configuration record") > out.indexOf("the unit restarts"));
        sim.kill();
        sim.waitForFinished();
    }

    void cleanupTestCase() { ftdiTransportFactory() = nullptr; }
};

QTEST_MAIN(tst_firmware)
#include "tst_firmware.moc"
