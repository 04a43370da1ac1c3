// The LD_PRELOAD stand-in for libftdi1 under a tool we did not write: Debian's
// openFPGALoader finds the emulated ECP5 and programs the emulated flash through it.
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestUsbEmuPreload : public QObject
{
    Q_OBJECT
private slots:
    void openFpgaLoader_data();
    void openFpgaLoader();
};

void TestUsbEmuPreload::openFpgaLoader_data()
{
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<QString>("args"); // IMAGE stands for a bitstream-like file the test writes
    QTest::addColumn<QStringList>("expect");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("detect: the unit's ECP5 by its raw IDCODE")
        << QStringList() << "-c ft2232 --detect --verbose-level 2"
        << QStringList{"0 -> 0x41111043", "family ECP5", "irlength 8"} << true;
    QTest::newRow("detect on the single-channel part")
        << QStringList{"VQ6020_USBEMU_PRODUCT=0x6014"} << "-c ft232 --detect --verbose-level 2"
        << QStringList{"0 -> 0x41111043"} << true;
    QTest::newRow("no bridge") << QStringList{"VQ6020_USBEMU_FAULTS=absent"} << "-c ft2232 --detect"
                               << QStringList{"unable to open ftdi device: -3 (device not found)"} << false;
    // The tool gives up after a count of status polls, not a time; a tenth of the typical
    // busy times keeps that count far from the limit on a fast machine.
    QTest::newRow("flash written through background SPI")
        << QStringList{"VQ6020_USBEMU_BUSY_SCALE=0.1"} << "-c ft2232 --fpga-part LFE5U-25 -f -o 0 IMAGE"
        << QStringList{"Detected: Winbond W25Q16", "Refresh: DONE"} << true;
}

void TestUsbEmuPreload::openFpgaLoader()
{
    QFETCH(QStringList, env);
    QFETCH(QString, args);
    QFETCH(QStringList, expect);
    QFETCH(bool, succeeds);
    const QString tool = QStandardPaths::findExecutable("openFPGALoader");
    if (tool.isEmpty())
        QSKIP("openFPGALoader is not installed (scripts/bootstrap installs it)");
    QTemporaryDir dir;
    const QString flashPath = dir.filePath("flash.bin");
    const QString imagePath = dir.filePath("image.bin");
    // An ECP5 bitstream's preamble, so that the refresh finds a design, then noise.
    QByteArray image = QByteArray::fromHex("ff00") + "vq6020 test" + QByteArray::fromHex("00ffffffffbdb3");
    for (int i = 0; i < 70000; ++i)
        image += char(QRandomGenerator::global()->generate());
    QFile f(imagePath);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(image);
    f.close();

    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("LD_PRELOAD", qEnvironmentVariable("VQ6020_FTDI_PRELOAD"));
    e.insert("VQ6020_USBEMU_FLASH", flashPath);
    for (const QString &kv : env)
        e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    p.setProcessEnvironment(e);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(tool, args.replace("IMAGE", imagePath).split(' '));
    QVERIFY(p.waitForFinished(45000));
    // The tool pads some lines with NUL bytes, where a QByteArray conversion would stop.
    const QString out = QString::fromLocal8Bit(p.readAll().replace('\0', ' ')).replace('\r', '\n');
    for (const QString &text : expect)
        QVERIFY2(out.contains(text), qPrintable(out));
    QCOMPARE(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, succeeds);

    if (args.contains(imagePath)) {
        QFile flash(flashPath);
        QVERIFY(flash.open(QIODevice::ReadOnly));
        const QByteArray all = flash.readAll();
        QCOMPARE(all.size(), 2 * 1024 * 1024);
        QVERIFY(all.left(image.size()) == image);
        QVERIFY(all.mid(image.size()) == QByteArray(all.size() - image.size(), char(0xFF)));
    }
}

QTEST_MAIN(TestUsbEmuPreload)
#include "tst_usbemu_preload.moc"
