// What the preferences dialog stores takes effect in the real client at its next start: the lookup order, relay
// mode and the volume limit, across restarts of VQ6020 against the simulated unit.
#include "support/SimProcess.h"

#include "app/SettingsKeys.h"
#include "settings/Preferences.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// Turns the volume between half and full, so that a full turn reaches the unit whenever the link comes up (until
// then the client drops what it would send).
const char kVolumeScript[] =
    "import QtQuick 2.15\nimport com.fernhollow.singletons 1.0\nimport AbsoluteEncoders 1.0\n"
    "Item { Timer { interval: 300; repeat: true; running: true; property bool full: false\n"
    "  onTriggered: { full = !full; IC7300.encoderSet(AbsoluteEncoder.Volume, full ? 1.0 : 0.5) } } }\n";

QString lookupLine()
{
    return QStringLiteral("VQ6020Locator: Lookup strategy ");
}

} // namespace

class TestSettingsSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void lookupOrderAcrossRestarts();
    void relayModeAtNextStart();
    void volumeLimitReachesTheUnit();

private:
    // Starts VQ6020 with this test's settings and data folders; its log arrives on its standard output.
    void startClient();
    void stopClient();
    bool waitForClient(const QString &text, int timeoutMs, int times = 1);
    QStringList clientLines(const QString &containing);
    QListWidgetItem *entry(Preferences &dialog, const QString &text);

    SimProcess m_sim;
    QProcess m_client;
    QString m_output;
    QTemporaryDir m_scripts;
};

void TestSettingsSim::initTestCase()
{
    QVERIFY(QFile::exists(qEnvironmentVariable("VQ6020_APP")));
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).clear();
    // As USB provisioning leaves a client: the key, and the saved address 127.0.0.1 enabled.
    QVERIFY(m_sim.start({QStringLiteral("--provision-client")}));
    m_client.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_client, &QProcess::readyRead, this, [this] { m_output += QString::fromLocal8Bit(m_client.readAll()); });
}

void TestSettingsSim::cleanupTestCase()
{
    stopClient();
    m_sim.stop();
}

void TestSettingsSim::startClient()
{
    stopClient();
    m_output.clear();
    m_client.start(qEnvironmentVariable("VQ6020_APP"), QStringList());
    QVERIFY(m_client.waitForStarted(10000));
}

void TestSettingsSim::stopClient()
{
    if (m_client.state() == QProcess::NotRunning)
        return;
    m_client.terminate();
    if (!m_client.waitForFinished(5000)) {
        m_client.kill();
        m_client.waitForFinished(5000);
    }
}

bool TestSettingsSim::waitForClient(const QString &text, int timeoutMs, int times)
{
    QElapsedTimer t;
    t.start();
    while (m_output.count(text) < times) {
        if (t.elapsed() > timeoutMs || m_client.state() == QProcess::NotRunning) {
            qWarning().noquote() << "Client output so far:\n" + m_output.right(3000);
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}

QStringList TestSettingsSim::clientLines(const QString &containing)
{
    QStringList found;
    for (const QString &line : m_output.split(QLatin1Char('\n'))) {
        const int at = line.indexOf(containing);
        if (at >= 0)
            found << line.mid(at).trimmed();
    }
    return found;
}

QListWidgetItem *TestSettingsSim::entry(Preferences &dialog, const QString &text)
{
    const auto items = dialog.findChild<QListWidget *>(QStringLiteral("listWidget"))->findItems(text, Qt::MatchExactly);
    return items.isEmpty() ? nullptr : items.first();
}

void TestSettingsSim::lookupOrderAcrossRestarts()
{
    // Run 1: the default order, a relay on the LAN first.
    startClient();
    QVERIFY(waitForClient(lookupLine(), 15000, 2));
    QCOMPARE(clientLines(lookupLine()).mid(0, 2),
             QStringList({"VQ6020Locator: Lookup strategy LOC_PROXY_MDNS is true [ 0 ]",
                          "VQ6020Locator: Lookup strategy LOC_DIRECT_MDNS is true [ 1 ]"}));
    stopClient();

    {
        Preferences dialog;
        auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidget"));
        const int ip = list->row(entry(dialog, QStringLiteral("Connect by IP")));
        QVERIFY(list->model()->moveRow(QModelIndex(), ip, QModelIndex(), 0));
        entry(dialog, QStringLiteral("Proxy on LAN (Autolocate)"))->setCheckState(Qt::Unchecked);
        entry(dialog, QStringLiteral("Direct Connect on LAN (Autolocate)"))->setCheckState(Qt::Unchecked);
        QCOMPARE(entry(dialog, QStringLiteral("Connect by IP"))->checkState(), Qt::Checked);
    }

    // Run 2: the saved address first, and it reaches the unit.
    startClient();
    QVERIFY(waitForClient(QStringLiteral("State: Connected"), 20000));
    const QStringList lookups = clientLines(lookupLine());
    QVERIFY(!lookups.isEmpty());
    QCOMPARE(lookups.first(), QStringLiteral("VQ6020Locator: Lookup strategy LOC_IP is true [ 0 ]"));
    stopClient();
}

void TestSettingsSim::relayModeAtNextStart()
{
    {
        Preferences dialog;
        QTest::mouseClick(dialog.findChild<QCheckBox *>(QStringLiteral("doProxy")), Qt::LeftButton);
    }
    startClient();
    // The relay window comes up and tries to serve (the simulated unit holds the port here, so it cannot), and the
    // normal client is not started: it would list MIDI devices and set the frame rate at once.
    QVERIFY(waitForClient(QStringLiteral("Server Listen: "), 10000));
    QVERIFY2(m_client.state() == QProcess::Running, qPrintable(m_output));
    QCOMPARE(m_output.count(QStringLiteral("MIDI: Enumerating")), 0);
    QCOMPARE(m_output.count(QStringLiteral("Framerate set to")), 0);
    stopClient();

    Preferences dialog;
    auto *proxy = dialog.findChild<QCheckBox *>(QStringLiteral("doProxy"));
    QVERIFY(proxy->isChecked());
    QTest::mouseClick(proxy, Qt::LeftButton);
    QVERIFY(!QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).value("ProxyMode").toBool());
}

void TestSettingsSim::volumeLimitReachesTheUnit()
{
    const QString script = m_scripts.filePath(QStringLiteral("volume.qml"));
    QFile f(script);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(kVolumeScript);
    f.close();
    {
        Preferences dialog;
        dialog.show();
        dialog.findChild<QSlider *>(QStringLiteral("maxVolume"))->setValue(253);
        QTimer::singleShot(0, this, [&] {
            QTRY_VERIFY(qobject_cast<QFileDialog *>(QApplication::activeModalWidget()));
            auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            chooser->selectFile(script);
            QMetaObject::invokeMethod(chooser, "accept");
        });
        QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("setScript")), Qt::LeftButton);
        QCOMPARE(dialog.findChild<QPushButton *>(QStringLiteral("setScript"))->text(), script);
    }
    // The extension view is the View menu's choice, not the dialog's.
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).setValue(SettingsKeys::kScriptShow, true);

    startClient();
    // FE 1E FD FD: the volume command with the level 253.
    QVERIFY2(m_sim.waitForOutput(QStringLiteral("] Inject fe1efdfd"), 30000), qPrintable(m_output.right(3000)));
    stopClient();
}

QTEST_MAIN(TestSettingsSim)
#include "tst_SettingsSim.moc"
