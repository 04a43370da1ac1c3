// The images and the flash image built from them: deciphered as openssl
// deciphers them, laid out with their padding, checked by python's CRC-32, and
// refused when inconsistent or too large, before anything touches a device.
#include "FakeBridge.h"
#include "Openssl.h"
#include "TestImages.h"
#include "maintenance/Blobs.h"
#include "maintenance/FirmwareJobs.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_FlashImage : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QStringList m_status;
    FirmwareJobs::Hooks hooks()
    {
        return {[this](const QString &line) { m_status << line; }, {}, [] {}};
    }

    static QByteArray readFile(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile f(m_dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    // One image enciphered by openssl, with the size file a test asks for.
    void writeImage(const QString &name, const QByteArray &plain, const QByteArray &sizeText)
    {
        bool ok = false;
        writeFile(name, Openssl::aes(true, plain, TestImages::passphrase(), &ok));
        QVERIFY(ok);
        writeFile(name + ".size", sizeText);
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("openssl").isEmpty() || QStandardPaths::findExecutable("python3").isEmpty())
            QSKIP("openssl and python3 are needed (scripts/bootstrap installs them)");
    }
    void init() { m_status.clear(); }

    void testImagesDecipherAsOpensslDoes()
    {
        const Blobs blobs(TestImages::passphrase());
        QVERIFY(blobs.present());
        QVERIFY(blobs.testContent());
        for (const char *name : {"gateware", "firmware"}) {
            bool ok = false;
            const QByteArray plain =
                Openssl::aes(false, readFile(TestImages::directory() + "/" + name), TestImages::passphrase(), &ok);
            QVERIFY(ok);
            QCOMPARE(QByteArray(name) == "gateware" ? blobs.gateware() : blobs.firmware(), plain);
        }
        QCOMPARE(blobs.gateware().size(), TestImages::kGatewareSize);
        QCOMPARE(blobs.firmware().size(), TestImages::kFirmwareSize);
    }

    // The layout the unit boots from, and the CRC the unit reports for it.
    void imageLayoutAndCrc()
    {
        const Blobs blobs(TestImages::passphrase());
        FirmwareJobs jobs(&blobs, hooks());
        QVERIFY(jobs.buildImage());
        const QByteArray image = jobs.image();
        QCOMPARE(image.size(), 0x180000);
        QCOMPARE(image.left(700587), blobs.gateware());
        QCOMPARE(image.mid(700587, 0xB0000 - 700587), QByteArray(0xB0000 - 700587, '\xFF'));
        QCOMPARE(image.mid(0xB0000, 824108), blobs.firmware());
        QCOMPARE(image.mid(0xB0000 + 824108), QByteArray(0x180000 - 0xB0000 - 824108, '\xFF'));

        QProcess python;
        python.start("python3", {"-c", "import sys, zlib; print(zlib.crc32(sys.stdin.buffer.read()))"});
        python.write(image.left(1545004));
        python.closeWriteChannel();
        QVERIFY(python.waitForFinished(20000));
        QCOMPARE(python.readAllStandardOutput().trimmed().toULongLong(), quint64(jobs.imageCrc()));

        // The version check: a different CRC warns once, the right one never.
        QVERIFY(!jobs.gotCRC32FromApplication(jobs.imageCrc()));
        QVERIFY(jobs.gotCRC32FromApplication(jobs.imageCrc() ^ 1));
        QVERIFY(!jobs.gotCRC32FromApplication(jobs.imageCrc() ^ 2));
    }

    void alignedGatewareGetsNoPadding()
    {
        writeImage("gateware", QByteArray(0x20000, 'g'), "131072\r\n");
        writeImage("firmware", QByteArray(100, 'f'), "100\r\n");
        const Blobs blobs(TestImages::passphrase(), m_dir.path());
        FirmwareJobs jobs(&blobs, hooks());
        QVERIFY(jobs.buildImage());
        QCOMPARE(jobs.image().size(), 0x30000);
        QCOMPARE(jobs.image().mid(0x20000, 100), QByteArray(100, 'f'));
    }

    // Every refusal comes before the link is opened: the bridge sees nothing.
    void inconsistentImagesAreRefused_data()
    {
        QTest::addColumn<int>("gatewareSize");
        QTest::addColumn<QByteArray>("sizeText");
        QTest::addColumn<bool>("productKey");
        QTest::addColumn<bool>("truncate");
        QTest::addColumn<QString>("message");

        QTest::newRow("size too small")
            << 1000 << QByteArray("900\r\n") << false << false
            << "The gateware image does not match its size file (1008 bytes stored, size \"900\").";
        QTest::newRow("size one too big") << 1000 << QByteArray("1001\r\n") << false << false
                                          << "The gateware image was not enciphered for this program.";
        QTest::newRow("size unreadable") << 1000 << QByteArray("abc\r\n") << false << false
                                         << "The gateware image does not match its size file (1008 bytes stored, size "
                                            "\"unreadable\").";
        QTest::newRow("cut stored bytes") << 1000 << QByteArray("1000\r\n") << false << true
                                          << "The gateware image does not match its size file (1000 bytes stored, size "
                                             "\"1000\").";
        QTest::newRow("empty") << 0 << QByteArray("0\r\n") << false << false
                               << "The gateware image does not match its size file (16 bytes stored, size \"0\").";
        // The application's passphrase does not open the test images.
        QTest::newRow("other passphrase") << 1000 << QByteArray("1000\r\n") << true << false
                                          << "The gateware image was not enciphered for this program.";
        QTest::newRow("reaches the configuration record")
            << 0x100001 << QByteArray("1048577\r\n") << false << false
            << "The image (0x1f0000 bytes) would overwrite the configuration record at 0x1e0000; nothing was written.";
    }

    void inconsistentImagesAreRefused()
    {
        QFETCH(int, gatewareSize);
        QFETCH(QByteArray, sizeText);
        QFETCH(bool, productKey);
        QFETCH(bool, truncate);
        QFETCH(QString, message);
        writeImage("gateware", QByteArray(gatewareSize, 'g'), sizeText);
        writeImage("firmware", QByteArray(0xE0000, 'f'), "917504\r\n");
        if (truncate)
            writeFile("gateware", readFile(m_dir.filePath("gateware")).left(1000));

        FakeBridge bridge;
        bridge.install();
        const Blobs blobs(productKey ? Blobs::productPassphrase() : TestImages::passphrase(), m_dir.path());
        FirmwareJobs jobs(&blobs, hooks());
        QVERIFY(!jobs.startUpdate());
        QCOMPARE(m_status.value(0).remove(" Nothing was written."), message);
        QCOMPARE(jobs.updateStep(), FirmwareJobs::UpdateStep::Idle);
        QCOMPARE(bridge.calls, QStringList());
    }

    void buildWithoutImages()
    {
        FakeBridge bridge;
        bridge.install();
        const Blobs blobs(Blobs::productPassphrase(), m_dir.path() + "/none");
        FirmwareJobs jobs(&blobs, hooks());
        QVERIFY(!jobs.startUpdate());
        QCOMPARE(m_status, QStringList{"This build carries no firmware images."});
        QVERIFY(!jobs.gotCRC32FromApplication(0x12345678));
        QCOMPARE(bridge.calls, QStringList());
    }

    // The guard: test images are never written through the real libftdi1 bridge.
    void testImagesNeverReachARealBridge()
    {
        ftdiTransportFactory() = nullptr;
        const Blobs blobs(TestImages::passphrase());
        FirmwareJobs jobs(&blobs, hooks());
        QVERIFY(!jobs.startUpdate());
        QCOMPARE(m_status, QStringList{"This build carries test images; they are written only to an emulated unit."});
        QCOMPARE(jobs.updateStep(), FirmwareJobs::UpdateStep::Idle);
    }
};

QTEST_GUILESS_MAIN(tst_FlashImage)
#include "tst_FlashImage.moc"
