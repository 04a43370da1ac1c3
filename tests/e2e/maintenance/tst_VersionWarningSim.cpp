// The version check through the main window, against the simulated unit booting from a flash file: a unit whose
// image is not the one this build carries gets the warning once, also across a reconnect; once the update over USB
// has written the file and the unit restarted from it, it reports the new image's CRC and a client started then
// warns no more.
#include "support/ClientSettings.h"
#include "support/LogCapture.h"
#include "support/SimProcess.h"

#include "EmulatedFtdi.h"
#include "TestImages.h"
#include "maintenance/Blobs.h"
#include "maintenance/Firmware.h"
#include "maintenance/JtagTap.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QErrorMessage>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char kKey[] = "00112233445566778899aabbccddeeff";

QList<QErrorMessage *> versionWarnings()
{
    QList<QErrorMessage *> shown;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        auto *m = qobject_cast<QErrorMessage *>(top);
        if (m && m->isVisible() && m->findChild<QTextEdit *>() &&
            m->findChild<QTextEdit *>()->toPlainText() == QLatin1String(FirmwareJobs::kVersionWarning))
            shown << m;
    }
    return shown;
}

} // namespace

class tst_VersionWarningSim : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    SimProcess m_sim;
    Blobs m_images{TestImages::passphrase(), TestImages::directory()};

    int m_crcReports = 0;

    // A main window checking against the test images, once it is connected and the unit reported its CRC.
    void connectWindow(std::unique_ptr<MainWindow> &window)
    {
        window = std::make_unique<MainWindow>();
        QVERIFY(window->firmwareWindow()->setImages(&m_images));
        connect(
            window->controller(), &PylonController::registerChanged, this,
            [this](PylonController::Register addr, uint) { m_crcReports += addr == PylonController::da_flash_crc; });
        m_crcReports = 0;
        QTRY_COMPARE_WITH_TIMEOUT(window->findChild<QLabel *>("stateLabel")->text(), QString("Connected"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(m_crcReports > 0, 5000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        ClientSettings::useSavedAddressOnly(QByteArray::fromHex(kKey));
    }

    void warnedOnceThenNoneAfterTheUpdate()
    {
        const QString flash = m_dir.filePath(QStringLiteral("flash.bin"));
        QVERIFY(m_sim.start({"--flash", flash, "--key", kKey, "--no-mdns"}));
        QVERIFY2(m_sim.output().contains("image CRC 00000000,"), qPrintable(m_sim.output()));

        LogCapture logged;
        std::unique_ptr<MainWindow> window;
        connectWindow(window);
        if (QTest::currentTestFailed())
            return;
        Firmware *firmware = window->firmwareWindow();
        QVERIFY(firmware->jobs().buildImage());
        const QString expected = QStringLiteral("%1").arg(firmware->jobs().imageCrc(), 8, 16, QChar('0'));
        QTRY_COMPARE(versionWarnings().size(), 1);

        // The unit comes back with the same image: reported again, not warned again.
        m_crcReports = 0;
        QVERIFY(m_sim.restart());
        QTRY_VERIFY_WITH_TIMEOUT(m_crcReports > 0, 20000);
        QCOMPARE(versionWarnings().size(), 1);

        // The update over USB writes the file the unit boots from; the unit restarts with the new image.
        UnitOptions options;
        options.flashFile = flash.toStdString();
        options.timings.scale = 0; // the main window's window waits on the flash in real time
        auto unit = std::make_shared<EmulatedUnit>(options);
        ftdiTransportFactory() = emulatedFtdiFactory(unit);
        firmware->setAsker([](QMessageBox &) { return int(QMessageBox::Yes); });
        firmware->findChild<QPushButton *>("gateware_program")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!firmware->jobs().busy(), 30000);
        QVERIFY(logged.contains("JTAG: Flash Verify PASS."));
        QVERIFY2(m_sim.waitForOutput("the unit restarts", 10000), qPrintable(m_sim.output()));
        QVERIFY(logged.waitFor("Unit reports flash image CRC " + expected, 20000));
        QCOMPARE(versionWarnings().size(), 1);

        // A client started now has nothing to warn about.
        qDeleteAll(versionWarnings());
        window.reset();
        ftdiTransportFactory() = nullptr;
        JtagTap::instance().close();
        connectWindow(window);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(versionWarnings().size(), 0);
        QVERIFY(logged.matching("Unit reports flash image CRC").last().endsWith(expected));
    }

    void cleanupTestCase()
    {
        ftdiTransportFactory() = nullptr;
        m_sim.stop();
    }
};

QTEST_MAIN(tst_VersionWarningSim)
#include "tst_VersionWarningSim.moc"
