// "Radio Credentials": export and import of the radio access file, checked against files python writes and
// reads (crcmod as the independent CRC-8), the simulated unit's own export, a full disk, and hostile files.
#include "app/SettingsKeys.h"
#include "maintenance/AccessFileCodec.h"
#include "maintenance/PromptCredentials.h"
#include "support/LogCapture.h"
#include "support/ScreenImages.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>

namespace {
const QByteArray kKey = QByteArray::fromHex("00112233445566778899AABBCCDDEEFF");
const QByteArray kOtherKey = QByteArray::fromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F");
// Debian's interpreter: the one with python3-crcmod, whatever python3 comes first on the PATH.
const QString kPython = QStringLiteral("/usr/bin/python3");

QString python(const QString &script, const QStringList &args = {})
{
    QProcess p;
    p.start(kPython, QStringList{QStringLiteral("-c"), script} + args);
    if (!p.waitForFinished(20000) || p.exitCode() != 0)
        return QStringLiteral("python failed: ") + QString::fromUtf8(p.readAllStandardError());
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The file python writes for kKey, CRC by crcmod's predefined "crc-8", shaped by style.
const char *const kWriteScript = R"(
import crcmod.predefined, sys
key = bytes.fromhex(sys.argv[2]); style = sys.argv[3]
crc = crcmod.predefined.mkCrcFun('crc-8')(key)
text = (key + bytes([crc])).hex()
if style == 'upper': text = text.upper()
if style == 'spaces': text = ' '.join(text[i:i+2] for i in range(0, len(text), 2))
if style == 'crlf': text = text[:16] + '\r\n' + text[16:] + '\r\n'
if style == 'bad_crc': text = text[:-2] + '%02x' % ((crc + 1) & 0xff)
if style == 'digits32': text = text[:32]
if style == 'digits36': text = text + 'ab'
if style == 'digits33': text = text[:33]
if style == 'huge': text = text + ' ' * (64 * 1024)
open(sys.argv[1], 'w', newline='').write(text)
)";

QByteArray storedKey()
{
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    return s.value(SettingsKeys::kNetPsk).toByteArray();
}

void storeKey(const QByteArray &key)
{
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    if (key.isEmpty())
        s.remove(SettingsKeys::kNetPsk);
    else
        s.setValue(SettingsKeys::kNetPsk, key);
    s.sync();
}

PromptCredentials::PathAsker answer(const QString &path)
{
    return [path](const QString &, const QString &, const QString &) { return path; };
}
} // namespace

class tst_credentials : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void crcMatchesCrcmod();
    void dialogView_data();
    void dialogView();
    void exportFile_data();
    void exportFile();
    void importFile_data();
    void importFile();
    void exportToFullDisk();

private:
    QTemporaryDir m_dir;
};

void tst_credentials::initTestCase()
{
    if (python(QStringLiteral("import crcmod; print('ok')")) != QLatin1String("ok"))
        QSKIP("Debian's python3-crcmod is needed (scripts/bootstrap installs it)");
}

void tst_credentials::crcMatchesCrcmod()
{
    const QString script = QStringLiteral("import crcmod.predefined, sys\n"
                                          "f = crcmod.predefined.mkCrcFun('crc-8')\n"
                                          "print(' '.join('%02X' % f(bytes.fromhex(a)) for a in sys.argv[1:]))");
    QStringList inputs{QStringLiteral("313233343536373839"), QStringLiteral("616263")};
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    inputs << QString::fromLatin1(all.toHex()) << QString::fromLatin1(kKey.toHex());
    QStringList ours;
    for (const QString &hex : inputs)
        ours << QStringLiteral("%1")
                    .arg(AccessFile::crc8(QByteArray::fromHex(hex.toLatin1())), 2, 16, QLatin1Char('0'))
                    .toUpper();
    QCOMPARE(ours.mid(0, 2), (QStringList{QStringLiteral("F4"), QStringLiteral("5F")}));
    QCOMPARE(ours.join(QLatin1Char(' ')), python(script, inputs));
}

void tst_credentials::dialogView_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("hint");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("exportEnabled");
    QTest::addColumn<bool>("hintVisible");
    QTest::newRow("no key, plain") << QByteArray() << QString() << "Not Set" << false << false;
    QTest::newRow("no key, hint") << QByteArray() << "No Key Present"
                                  << "Not Set" << false << true;
    QTest::newRow("key, hint hidden") << kKey << "Incorrect Key Provided."
                                      << "Key present" << true << false;
}

void tst_credentials::dialogView()
{
    QFETCH(QByteArray, key);
    QFETCH(QString, hint);
    storeKey(key);
    PromptCredentials dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Radio Credentials"));
    QCOMPARE(dialog.size(), QSize(194, 121));
    QCOMPARE(dialog.windowModality(), Qt::WindowModal);
    QCOMPARE(dialog.findChild<QPushButton *>(QStringLiteral("cmdImport"))->text(), QStringLiteral("Import Key"));
    QCOMPARE(dialog.findChild<QPushButton *>(QStringLiteral("cmdExport"))->text(), QStringLiteral("Export Key"));
    if (hint.isEmpty())
        dialog.showPlain();
    else
        dialog.showWithHint(hint);
    QVERIFY(dialog.isVisible());
    QTEST(dialog.findChild<QLabel *>(QStringLiteral("keyStatus"))->text(), "status");
    QTEST(dialog.findChild<QPushButton *>(QStringLiteral("cmdExport"))->isEnabled(), "exportEnabled");
    auto *message = dialog.findChild<QLabel *>(QStringLiteral("helpfulMessage"));
    QTEST(message->isVisible(), "hintVisible");
    if (message->isVisible())
        QCOMPARE(message->text(), hint);
    dialog.grab().save(ScreenImages::screenshotPath(QStringLiteral("credentials-") + QTest::currentDataTag()));
}

void tst_credentials::exportFile_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("status");
    QTest::newRow("key") << kKey << false << "Key exported";
    QTest::newRow("no key") << QByteArray() << false << "Failed, no key to export";
    QTest::newRow("cancelled") << kKey << true << "Failed to open file";
}

void tst_credentials::exportFile()
{
    QFETCH(QByteArray, key);
    QFETCH(bool, cancel);
    storeKey(key);
    const QString path = m_dir.filePath(QStringLiteral("export-%1.txt").arg(QTest::currentDataTag()));
    PromptCredentials dialog;
    dialog.setSavePathAsker(answer(cancel ? QString() : path));
    dialog.showPlain();
    QMetaObject::invokeMethod(&dialog, "on_cmdExport_clicked");
    QTEST(dialog.findChild<QLabel *>(QStringLiteral("keyStatus"))->text(), "status");
    if (key.isEmpty() || cancel) {
        QVERIFY(!QFile::exists(path));
        return;
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QCOMPARE(text.size(), 34);
    QCOMPARE(text, text.toUpper());
    // crcmod agrees with the CRC byte we wrote.
    QCOMPARE(python(QStringLiteral("import crcmod.predefined, sys\n"
                                   "b = bytes.fromhex(open(sys.argv[1]).read())\n"
                                   "print(crcmod.predefined.mkCrcFun('crc-8')(b[:16]) == b[16], b[:16].hex())"),
                    {path}),
             QStringLiteral("True ") + QString::fromLatin1(kKey.toHex()));
}

void tst_credentials::importFile_data()
{
    QTest::addColumn<QString>("source"); // python:<style>, sim, fifo, device, directory, cancel
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("imported");
    QTest::newRow("lower case") << "python:lower"
                                << "Key present" << true;
    QTest::newRow("upper case") << "python:upper"
                                << "Key present" << true;
    QTest::newRow("spaces") << "python:spaces"
                            << "Key present" << true;
    QTest::newRow("crlf") << "python:crlf"
                          << "Key present" << true;
    QTest::newRow("simulated unit's file") << "sim"
                                           << "Key present" << true;
    QTest::newRow("32 digits") << "python:digits32"
                               << "Key file incorrect format" << false;
    QTest::newRow("36 digits") << "python:digits36"
                               << "Key file incorrect format" << false;
    QTest::newRow("33 digits") << "python:digits33"
                               << "Key file failed integrity check" << false;
    QTest::newRow("crc off by one") << "python:bad_crc"
                                    << "Key file failed integrity check" << false;
    QTest::newRow("over 64 KiB") << "python:huge"
                                 << "Key file incorrect format" << false;
    QTest::newRow("fifo") << "fifo"
                          << "Failed to open file" << false;
    QTest::newRow("device") << "device"
                            << "Failed to open file" << false;
    QTest::newRow("directory") << "directory"
                               << "Failed to open file" << false;
    QTest::newRow("cancelled") << "cancel"
                               << "Failed to open file" << false;
}

void tst_credentials::importFile()
{
    QFETCH(QString, source);
    QFETCH(bool, imported);
    storeKey(kOtherKey);
    QString path = m_dir.filePath(QStringLiteral("import-%1.txt").arg(QTest::currentDataTag()));
    if (source.startsWith(QLatin1String("python:"))) {
        QCOMPARE(python(QString::fromLatin1(kWriteScript), {path, QString::fromLatin1(kKey.toHex()), source.mid(7)}),
                 QString());
    } else if (source == QLatin1String("sim")) {
        QProcess sim;
        sim.start(qEnvironmentVariable("VQ6020_SIM"),
                  {QStringLiteral("--key"), QString::fromLatin1(kKey.toHex()), QStringLiteral("--write-raf"), path});
        // It writes the file at start and then goes on serving as a unit would.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() == 34, 10000);
        sim.kill();
        sim.waitForFinished();
    } else if (source == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (source == QLatin1String("device")) {
        path = QStringLiteral("/dev/zero");
    } else if (source == QLatin1String("directory")) {
        path = m_dir.path();
    } else {
        path.clear();
    }
    LogCapture log;
    PromptCredentials dialog;
    dialog.setOpenPathAsker(answer(path));
    dialog.showPlain();
    QMetaObject::invokeMethod(&dialog, "on_cmdImport_clicked");
    QTEST(dialog.findChild<QLabel *>(QStringLiteral("keyStatus"))->text(), "status");
    QCOMPARE(storedKey(), imported ? kKey : kOtherKey);
    if (imported) {
        QVERIFY(log.contains(QStringLiteral("Key import passed validity checks, saving.")));
        QVERIFY(dialog.findChild<QPushButton *>(QStringLiteral("cmdExport"))->isEnabled());
        QVERIFY(!dialog.findChild<QLabel *>(QStringLiteral("helpfulMessage"))->isVisible());
    }
}

void tst_credentials::exportToFullDisk()
{
    // A full disk is a small tmpfs filled up, in a mount namespace of the test's own: the test runs itself again
    // under unshare, and that copy does the export.
    const QByteArray childDir = qgetenv("VQ_FULL_DISK_DIR");
    if (childDir.isEmpty()) {
        QTemporaryDir dir;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VQ_FULL_DISK_DIR"), dir.path());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("unshare"), {QStringLiteral("-rm"), QCoreApplication::applicationFilePath(),
                                                QStringLiteral("exportToFullDisk")});
        QVERIFY(child.waitForFinished(30000));
        const QByteArray out = child.readAll();
        if (out.contains("cannot mount"))
            QSKIP("no private mount namespace here");
        QVERIFY2(child.exitCode() == 0, out.constData());
        return;
    }
    const QString dir = QString::fromLocal8Bit(childDir);
    if (mount("tmpfs", childDir.constData(), "tmpfs", 0, "size=16k") != 0)
        QFAIL("cannot mount a tmpfs");
    QFile filler(dir + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(1024, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();
    storeKey(kKey);
    PromptCredentials dialog;
    dialog.setSavePathAsker(answer(dir + QStringLiteral("/radioAccessFile.txt")));
    dialog.showPlain();
    QMetaObject::invokeMethod(&dialog, "on_cmdExport_clicked");
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("keyStatus"))->text(), QStringLiteral("Failed to write file"));
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("filler")});
}

QTEST_MAIN(tst_credentials)
#include "tst_credentials.moc"
