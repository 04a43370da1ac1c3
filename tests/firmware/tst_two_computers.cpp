// Two computers and one unit: A provisions the unit over USB and exports the key, B
// imports it, both connect to the simulated unit booting from the same flash file.
// When A writes a new key the unit restarts; B is refused, A connects. The two
// settings stores take turns in this process's store.
#include "e2e/controller/SimClient.h"
#include "maintenance/AccessFileCodec.h"
#include "maintenance/Firmware.h"
#include "maintenance/JtagTap.h"

#include "EmulatedFtdi.h"

#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

class tst_two_computers : public QObject
{
    Q_OBJECT

    static QByteArray storedKey()
    {
        return QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
            .value(SettingsKeys::kNetPsk)
            .toByteArray();
    }
    // "Read Configuration", then "Write Configuration" with a new key, as computer A.
    static void regenerate(Firmware &window)
    {
        window.findChild<QPushButton *>("configRead")->click();
        window.findChild<QRadioButton *>("raf_regen")->setChecked(true);
        window.findChild<QPushButton *>("configWrite")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.jobs().busy(), 10000);
    }

private slots:
    void newKeyLogsOutTheOtherComputer()
    {
        QTemporaryDir dir;
        const QString flash = dir.filePath("flash.bin");
        ClientSettings::useSavedAddressOnly(QByteArray());

        UnitOptions options;
        options.flashFile = flash.toStdString();
        auto unit = std::make_shared<EmulatedUnit>(options);
        ftdiTransportFactory() = emulatedFtdiFactory(unit);
        Firmware window(nullptr, nullptr, unit->oneMsPause());
        window.setAsker([](QMessageBox &) { return int(QMessageBox::Yes); });
        regenerate(window);
        const QByteArray first = storedKey();
        QCOMPARE(first.size(), 16);
        const QByteArray exported = AccessFile::encode(first);

        SimRunner sim;
        QVERIFY2(sim.start({"--flash", flash, "--no-mdns"}), qPrintable(sim.output()));
        {
            Client a;
            QVERIFY(a.waitConnected(8000));
        }
        const AccessFile::Decoded imported = AccessFile::decodeFileContent(exported);
        QCOMPARE(imported.result, AccessFile::Decoded::Ok);
        ClientSettings::useSavedAddressOnly(imported.key);
        {
            Client b;
            QVERIFY(b.waitConnected(8000));
        }

        ClientSettings::useSavedAddressOnly(first);
        regenerate(window);
        const QByteArray second = storedKey();
        QVERIFY(second.size() == 16 && second != first);
        QVERIFY2(sim.waitFor("the unit restarts", 10000), qPrintable(sim.output()));

        ClientSettings::useSavedAddressOnly(imported.key);
        {
            Client b;
            QVERIFY(b.waitUntil([&] { return !b.hints.isEmpty(); }, 8000));
            QCOMPARE(b.hints.first(), QStringLiteral("Incorrect Key Provided."));
        }
        ClientSettings::useSavedAddressOnly(second);
        {
            Client a;
            QVERIFY(a.waitConnected(8000));
        }
        ftdiTransportFactory() = nullptr;
    }
};

QTEST_MAIN(tst_two_computers)
#include "tst_two_computers.moc"
