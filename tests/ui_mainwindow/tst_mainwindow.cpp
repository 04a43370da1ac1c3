// The main window against a test-side unit on the control port: what the form contains, and what its keys, dials,
// menus and views put on the wire or into the settings.
#include "UnitPeer.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"

#include "app/AppPlatform.h"
#include "app/CrashHandler.h"
#include "app/SettingsKeys.h"
#include "link/PylonController.h"
#include "maintenance/PromptCredentials.h"
#include "maintenance/Firmware.h"
#include "ui/MainWindow.h"
#include "ui/RenderLabel.h"

#include <QHash>
#include <QAction>
#include <QApplication>
#include <QDial>
#include <QDir>
#include <QElapsedTimer>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <QWheelEvent>

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

const QByteArray kKey = QByteArray::fromHex("00112233445566778899aabbccddeeff");
constexpr uint32_t kDivisorRegister = PylonController::dc_capture_frame_divisor_csr;
constexpr uint32_t kCaptureControl = PylonController::dc_capture_control_csr;

// Settings of a client that knows the key and finds the unit at a saved address on this host only.
void prepareSettings(bool withKey)
{
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.clear();
    if (withKey)
        s.setValue(SettingsKeys::kNetPsk, kKey);
    const char *types[] = {"LOC_IP", "LOC_DIRECT_MDNS", "LOC_PROXY_MDNS", "LOC_DNS"};
    for (int i = 0; i < 4; ++i) {
        s.setValue(QString::fromLatin1(SettingsKeys::kConnectPrioPrio).arg(QLatin1String(types[i])), i);
        s.setValue(QString::fromLatin1(SettingsKeys::kConnectPrioChecked).arg(QLatin1String(types[i])), i == 0);
    }
    s.setValue(QString::fromLatin1(SettingsKeys::kConnectPrioExtended).arg(QLatin1String("LOC_IP")),
               QStringLiteral("127.0.0.1"));
}

QString screenshotPath(const QString &name)
{
    const QString dir = qEnvironmentVariable("VQ6020_BINARY_DIR", QDir::tempPath()) + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    return dir + QLatin1Char('/') + name + QStringLiteral(".png");
}

QStringList menuEntries(const QMenu *menu)
{
    QStringList out;
    for (const QAction *a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("—") : a->text());
    return out;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void firstStartDefaults();
    void formTree_data();
    void formTree();
    void dials_data();
    void dials();
    void menus();
    void actions_data();
    void actions();
    void frontPanelKeys_data();
    void frontPanelKeys();
    void keyHold_data();
    void keyHold();
    void misnamedKeys_data();
    void misnamedKeys();
    void panelFollowsStatus_data();
    void panelFollowsStatus();
    void powerButton();
    void frameRate_data();
    void frameRate();
    void views_data();
    void views();
    void statusBarSurvivesViewChanges();
    void wheelOverPictureTurnsMainDial_data();
    void wheelOverPictureTurnsMainDial();
    void debugRegisterActions_data();
    void debugRegisterActions();
    void constantRateDial();
    void stateAndActionTexts();
    void frameChain();
    void closeSavesAndStopsStream();
    void nextStartRestoresChoices();
    void missingKeyIsShown();
    void openLogFileNeedsLogFile_data();
    void openLogFileNeedsLogFile();
    void generateAppCrashIsRecorded();
    void closingMainWindowEndsProgram();
    void firmwareWindowFromMenu();

private:
    // Widgets and actions of the window itself (dialogs it owns have their own "label" and "widget").
    template <typename T> T *child(const QString &name) const
    {
        for (T *c : m_window->findChildren<T *>(name)) {
            if (!c->isWidgetType() || !inOwnedWindow(static_cast<QWidget *>(static_cast<QObject *>(c))))
                return c;
        }
        return nullptr;
    }
    // Whether w sits in a window of its own below the main window (a dialog; menus belong to the main window).
    bool inOwnedWindow(QWidget *w) const
    {
        for (; w && w != m_window.get(); w = w->parentWidget()) {
            if (w->isWindow() && !qobject_cast<QMenu *>(w))
                return true;
        }
        return false;
    }
    void startWindow();
    void waitConnected();
    // The panel follows the status, which settles at RadioOffNotReady on a link without pictures. Once it has
    // settled, make the panel usable as it is while the radio is Active.
    void activatePanel();
    // A click held holdMs on the window's clock.
    void click(QPushButton *button, int holdMs);

    std::unique_ptr<UnitPeer> m_peer;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<LogCapture> m_log;
    // Key hold times are measured on this clock; only the test moves it.
    ManualClock m_clock;
};

void TestMainWindow::initTestCase()
{
    m_log.reset(new LogCapture);
    prepareSettings(true);
    m_peer.reset(new UnitPeer(kKey));
    QVERIFY(m_peer->listen());
    startWindow();
}

void TestMainWindow::cleanupTestCase()
{
    m_window.reset();
    m_peer.reset();
    m_log.reset();
}

void TestMainWindow::startWindow()
{
    m_window.reset(new MainWindow(nullptr, &m_clock));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    waitConnected();
}

void TestMainWindow::waitConnected()
{
    QLabel *state = child<QLabel>(QStringLiteral("stateLabel"));
    QVERIFY(state);
    QTRY_COMPARE_WITH_TIMEOUT(state->text(), QStringLiteral("Connected"), 10000);
}

void TestMainWindow::activatePanel()
{
    QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::RadioOffNotReady, 3000);
    m_window->setEnables(OverallStatus::Active);
}

void TestMainWindow::click(QPushButton *button, int holdMs)
{
    QTest::mousePress(button, Qt::LeftButton);
    m_clock.advance(holdMs);
    QTest::mouseRelease(button, Qt::LeftButton);
}

void TestMainWindow::firstStartDefaults()
{
    // The window was started on empty settings (only the key and the address): 30 FPS, Full view, no status bar.
    QVERIFY(m_peer->waitForWrites(kDivisorRegister, 1));
    QCOMPARE(m_peer->writesTo(kDivisorRegister).first(), 1u);
    QVERIFY(child<QAction>(QStringLiteral("actionFPS_30"))->isChecked());
    for (const char *other : {"actionFPS_60", "actionFPS_15", "actionFPS_10", "actionFPS_05", "actionFPS_01"})
        QVERIFY2(!child<QAction>(QLatin1String(other))->isChecked(), other);
    QCOMPARE(child<QStackedWidget>(QStringLiteral("stackedWidget"))->currentIndex(), 0);
    QVERIFY(!child<QAction>(QStringLiteral("actionStatus_Bar"))->isChecked());
    QVERIFY(!child<QFrame>(QStringLiteral("bottomFrame"))->isVisible());
    QVERIFY(!child<QAction>(QStringLiteral("actionExtensions"))->isChecked());
    QCOMPARE(child<QDial>(QStringLiteral("volume"))->maximum(), 62);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("IC7300 Remote Desktop"));
    QVERIFY(m_log->contains(QStringLiteral("Framerate set to 30 FPS (divisor 2).")));
    // Started at its minimum size hint, the window is no larger than its contents need.
    QTRY_COMPARE(m_window->size(), m_window->minimumSizeHint());
    m_window->grab().save(screenshotPath(QStringLiteral("mainwindow_first_start")));
}

void TestMainWindow::formTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("cell"); // row, column, row span, column span in the parent's grid; empty if none
    QTest::addColumn<QSize>("minimum");   // (-1, -1): not checked

    const QSize any(-1, -1);
    auto row = [&](const char *name, const char *cls, const char *parent, const QString &text, QList<int> cell,
                   QSize min) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls) << QString::fromLatin1(parent)
                            << text << cell << min;
    };
    row("centralwidget", "QWidget", "MainWindow", QString(), {}, any);
    row("stackedWidget", "QStackedWidget", "centralwidget", QString(), {0, 0, 1, 1}, any);
    row("bottomFrame", "QFrame", "centralwidget", QString(), {1, 0, 1, 1}, any);
    row("page_all", "QWidget", "stackedWidget", QString(), {}, any);
    row("page_minimal", "QWidget", "stackedWidget", QString(), {}, any);
    row("page_screen", "QWidget", "stackedWidget", QString(), {}, any);
    row("widget_2", "QWidget", "page_all", QString(), {0, 0, 1, 1}, any);
    row("leftButtons", "QWidget", "widget_2", QString(), {0, 0, 4, 1}, any);
    row("renderZone_1", "RenderLabel", "widget_2", QStringLiteral("Render Me,  Pls"), {0, 1, 1, 1}, QSize(480, 272));
    row("bottomButton", "QWidget", "widget_2", QString(), {2, 1, 1, 1}, any);
    row("rightButton", "QWidget", "widget_2", QString(), {0, 2, 4, 1}, any);
    row("widget_3", "QWidget", "leftButtons", QString(), {0, 2, 1, 1}, any);
    row("widget_6", "QWidget", "leftButtons", QString(), {1, 2, 1, 1}, any);
    row("widget_4", "QWidget", "leftButtons", QString(), {2, 2, 1, 1}, any);
    row("widget_5", "QWidget", "leftButtons", QString(), {3, 2, 1, 1}, any);
    row("unit_power", "QPushButton", "widget_3", QStringLiteral("POWER"), {}, any);
    row("fpb_Transmit_0d01", "QPushButton", "widget_3", QStringLiteral("TRANSMIT"), {}, any);
    row("fpb_Tune_0d02", "QPushButton", "widget_3", QStringLiteral("TUNER"), {}, any);
    row("fpb_VoxBkIn_0d04", "QPushButton", "widget_3", QStringLiteral("VOX/BK-IN"), {}, any);
    row("label", "QLabel", "widget_6", QStringLiteral("PBT 1"), {1, 0, 1, 1}, any);
    row("pushButton_3", "QPushButton", "widget_6", QStringLiteral("C\nL\nR"), {1, 1, 2, 1}, any);
    row("label_2", "QLabel", "widget_6", QStringLiteral("PBT 2"), {1, 2, 1, 1}, any);
    row("bpf_in", "QDial", "widget_6", QString(), {2, 0, 1, 1}, any);
    row("bpf_out", "QDial", "widget_6", QString(), {2, 2, 1, 1}, any);
    row("fpb_PAmpAtt_0e01", "QPushButton", "widget_4", QStringLiteral("P.AMP"), {0, 0, 1, 1}, any);
    row("fpb_Notch_0e02", "QPushButton", "widget_4", QStringLiteral("NOTCH"), {0, 1, 1, 1}, any);
    row("fpb_NR_0e08", "QPushButton", "widget_4", QStringLiteral("NR"), {1, 0, 1, 1}, any);
    row("fpb_NB_0e04", "QPushButton", "widget_4", QStringLiteral("NB"), {1, 1, 1, 1}, any);
    row("label_3", "QLabel", "widget_5", QStringLiteral("VOL"), {0, 0, 1, 1}, any);
    row("label_4", "QLabel", "widget_5", QStringLiteral("RF/SQL"), {0, 1, 1, 1}, any);
    row("volume", "QDial", "widget_5", QString(), {1, 0, 1, 1}, any);
    row("rfsql", "QDial", "widget_5", QString(), {1, 1, 1, 1}, any);
    row("fpb_Menu_0d08", "QPushButton", "bottomButton", QStringLiteral("Menu"), {}, any);
    row("fpb_Function_0d10", "QPushButton", "bottomButton", QStringLiteral("Function"), {}, any);
    row("fpb_MScope_0d20", "QPushButton", "bottomButton", QStringLiteral("M.Scope"), {}, any);
    row("fpb_Quick_0d40", "QPushButton", "bottomButton", QStringLiteral("Quick"), {}, any);
    row("fpb_Exit_0e10", "QPushButton", "bottomButton", QStringLiteral("Exit"), {}, any);
    row("widget", "QWidget", "rightButton", QString(), {1, 1, 1, 1}, any);
    row("mainDial", "QDial", "rightButton", QString(), {2, 0, 1, 3}, any);
    row("fpb_Multi_1004", "QPushButton", "widget", QStringLiteral("Multi"), {1, 0, 1, 1}, QSize(0, 27));
    row("fpb_RIT_0f10", "QPushButton", "widget", QStringLiteral("RIT"), {1, 1, 1, 1}, QSize(0, 27));
    row("fpb_DeltaTx_0f20", "QPushButton", "widget", QString::fromUtf8("\xF0\x9D\x9B\xA5TX"), {1, 2, 1, 1},
        QSize(0, 27));
    row("fpb_Clear_0f40", "QPushButton", "widget", QStringLiteral("CLEAR"), {1, 3, 1, 1}, QSize(53, 27));
    row("multiDial", "QDial", "widget", QString(), {2, 0, 3, 1}, QSize(75, 0));
    row("fpb_Split_0f80", "QPushButton", "widget", QStringLiteral("Split"), {2, 1, 1, 1}, QSize(0, 27));
    row("fpb_AB_0f01", "QPushButton", "widget", QStringLiteral("A/B"), {2, 2, 1, 1}, QSize(53, 27));
    row("fpb_VM_0f02", "QPushButton", "widget", QStringLiteral("V/M"), {2, 3, 1, 1}, QSize(53, 27));
    row("fpb_MDown_0f08", "QPushButton", "widget", QString::fromUtf8("\xE2\x96\xBC"), {3, 1, 1, 1}, QSize(53, 27));
    row("fpb_MUp_0f04", "QPushButton", "widget", QString::fromUtf8("\xE2\x96\xB2"), {3, 2, 1, 1}, QSize(53, 27));
    row("fpb_MPad_0e80", "QPushButton", "widget", QStringLiteral("MPAD"), {3, 3, 1, 1}, QSize(53, 27));
    row("fpb_XFC_0d80", "QPushButton", "widget", QStringLiteral("XFC"), {4, 1, 1, 1}, QSize(53, 27));
    row("fpb_Tuner_0e20", "QPushButton", "widget", QStringLiteral("TUNE"), {4, 2, 1, 1}, QSize(53, 27));
    row("fpb_SpLock_0e40", "QPushButton", "widget", QStringLiteral("SP LCK"), {4, 3, 1, 1}, QSize(53, 27));
    row("renderZone_2", "RenderLabel", "page_minimal", QStringLiteral("Render Me,  Pls"), {}, QSize(480, 272));
    row("bottomButton_2", "QWidget", "page_minimal", QString(), {}, any);
    row("fpb2_Menu_0d08", "QPushButton", "bottomButton_2", QStringLiteral("Menu"), {}, any);
    row("fpb2_Function_0d10", "QPushButton", "bottomButton_2", QStringLiteral("Function"), {}, any);
    row("fpb2_MScope_0d20", "QPushButton", "bottomButton_2", QStringLiteral("M.Scope"), {}, any);
    row("fpb2_Quick_0d40", "QPushButton", "bottomButton_2", QStringLiteral("Quick"), {}, any);
    row("fpb2_Exit_0e10", "QPushButton", "bottomButton_2", QStringLiteral("Exit"), {}, any);
    row("renderZone_3", "RenderLabel", "page_screen", QStringLiteral("Render Me,  Pls"), {0, 0, 1, 1}, QSize(480, 272));
    row("lastActionLabel", "QLabel", "bottomFrame", QString(), {}, any);
    row("stateLabel", "QLabel", "bottomFrame", QString(), {}, QSize(-1, -1));
}

void TestMainWindow::formTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QString, text);
    QFETCH(QList<int>, cell);
    QFETCH(QSize, minimum);

    QWidget *w = child<QWidget>(name);
    QVERIFY2(w, qPrintable(name));
    QVERIFY2(w->inherits(className.toLatin1()), w->metaObject()->className());
    QWidget *parent = w->parentWidget();
    QVERIFY(parent);
    QCOMPARE(parent->objectName(), parentName);
    if (!text.isEmpty()) {
        if (auto *b = qobject_cast<QPushButton *>(w))
            QCOMPARE(b->text(), text);
        else
            QCOMPARE(qobject_cast<QLabel *>(w)->text(), text);
    }
    if (!cell.isEmpty()) {
        auto *grid = qobject_cast<QGridLayout *>(parent->layout());
        QVERIFY2(grid, "parent lays out in a grid");
        int r = -1, c = -1, rs = -1, cs = -1;
        grid->getItemPosition(grid->indexOf(w), &r, &c, &rs, &cs);
        QCOMPARE(QList<int>({r, c, rs, cs}), cell);
    }
    if (minimum.isValid())
        QCOMPARE(w->minimumSize(), minimum);
}

void TestMainWindow::dials_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<bool>("wrapping");
    QTest::addColumn<bool>("notches");
    QTest::addColumn<int>("pageStep");
    QTest::addColumn<double>("notchTarget");
    // volume's maximum is the configured maximum volume (62 unless the preferences changed it)
    QTest::newRow("mainDial") << "mainDial" << 359 << true << true << 10 << 3.7;
    QTest::newRow("multiDial") << "multiDial" << 19 << true << false << 1 << 1.0;
    QTest::newRow("bpf_in") << "bpf_in" << 19 << true << true << 1 << 3.7;
    QTest::newRow("bpf_out") << "bpf_out" << 19 << true << true << 1 << 3.7;
    QTest::newRow("volume") << "volume" << 62 << false << false << 10 << 15.0;
    QTest::newRow("rfsql") << "rfsql" << 252 << false << false << 1 << 15.0;
}

void TestMainWindow::dials()
{
    QFETCH(QString, name);
    QFETCH(int, maximum);
    QFETCH(bool, wrapping);
    QFETCH(bool, notches);
    QFETCH(int, pageStep);
    QFETCH(double, notchTarget);
    QDial *d = child<QDial>(name);
    QVERIFY(d);
    QCOMPARE(d->minimum(), 0);
    QCOMPARE(d->maximum(), maximum);
    QCOMPARE(d->wrapping(), wrapping);
    QCOMPARE(d->notchesVisible(), notches);
    QCOMPARE(d->pageStep(), pageStep);
    QCOMPARE(d->notchTarget(), notchTarget);
    if (name == QLatin1String("mainDial"))
        QCOMPARE(d->orientation(), Qt::Horizontal);
}

void TestMainWindow::menus()
{
    QMenuBar *bar = m_window->menuBar();
    QStringList titles;
    for (QAction *a : bar->actions())
        titles << a->text();
    QCOMPARE(titles, QStringList({"File", "View", "Debug"}));

    QCOMPARE(menuEntries(child<QMenu>(QStringLiteral("menuButtons"))),
             QStringList({"Framerate", "Save Video/Image", "—", "Application Settings", "Firmware/Gateware Settings",
                          "Radio Credentials Import/Export", "—", "Check for Updates", "About"}));
    QCOMPARE(menuEntries(child<QMenu>(QStringLiteral("menuFramerate"))),
             QStringList({"60FPS (130Mbps)", "30FPS (65Mbps)", "15FPS (32Mbps)", "10FPS (22Mbps)", "5FPS (11Mbps)",
                          "1FPS (2.1Mbps)"}));
    QCOMPARE(menuEntries(child<QMenu>(QStringLiteral("menuView"))),
             QStringList({"User Scripts (Extensions)", "—", "Full", "Minimal", "Screen Only", "—", "Status Bar",
                          "Open log file"}));
    QCOMPARE(menuEntries(child<QMenu>(QStringLiteral("menuDebug"))),
             QStringList({"Stats for Nerds", "—", "Fault CPU", "Reset SoC", "Trip SoC Watchdog", "—", "Peek/Poke",
                          "Enable Transmit", "Inhibit Transmit", "Constant Rate Right Dial", "—", "Generate App Crash",
                          "Log Network Metadata", "Close Socket Unexpectedly", "—", "RGB 16 Signal Bit Test"}));
}

void TestMainWindow::actions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shortcut");
    QTest::addColumn<bool>("checkable");
    auto row = [](const char *name, const char *text, const char *shortcut, bool checkable) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(text) << QString::fromLatin1(shortcut)
                            << checkable;
    };
    row("actionFPS_60", "60FPS (130Mbps)", "", true);
    row("actionFPS_30", "30FPS (65Mbps)", "", true);
    row("actionFPS_15", "15FPS (32Mbps)", "", true);
    row("actionFPS_10", "10FPS (22Mbps)", "", true);
    row("actionFPS_05", "5FPS (11Mbps)", "", true);
    row("actionFPS_01", "1FPS (2.1Mbps)", "", true);
    row("actionSave_mp4_Video", "Save Video/Image", "Ctrl+S", false);
    row("actionSettings", "Application Settings", "", false);
    row("actionFirmware_Update", "Firmware/Gateware Settings", "", false);
    row("actionSet_Username_Password", "Radio Credentials Import/Export", "", false);
    row("actionCheck_for_Updates", "Check for Updates", "", false);
    row("actionAbout", "About", "", false);
    row("actionExtensions", "User Scripts (Extensions)", "Ctrl+E", true);
    row("actionFull", "Full", "Ctrl+1", false);
    row("actionMinimal", "Minimal", "Ctrl+2", false);
    row("actionScreen_Only", "Screen Only", "Ctrl+3", false);
    row("actionStatus_Bar", "Status Bar", "", true);
    row("actionOpen_log_file", "Open log file", "", false);
    row("actionStats_for_Nerds", "Stats for Nerds", "", true);
    row("actionHaltSOC", "Fault CPU", "", false);
    row("actionResetSOC", "Reset SoC", "", false);
    row("actionTripWd", "Trip SoC Watchdog", "", false);
    row("actionPeek_Poke", "Peek/Poke", "", false);
    row("actionEnable_Transmit", "Enable Transmit", "", false);
    row("actionInhibit_Transmit", "Inhibit Transmit", "", false);
    row("actionConstant_Rate_Right_Dial", "Constant Rate Right Dial", "", true);
    row("actionGenerate_App_Crash", "Generate App Crash", "", false);
    row("actionLog_Network_Metadata", "Log Network Metadata", "", true);
    row("actionClose_Socket_Unexpectedly", "Close Socket Unexpectedly", "", false);
    row("actionRGB_16_Signal_Bit_Test", "RGB 16 Signal Bit Test", "", false);
}

void TestMainWindow::actions()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, shortcut);
    QFETCH(bool, checkable);
    QAction *a = child<QAction>(name);
    QVERIFY2(a, qPrintable(name));
    QCOMPARE(a->text(), text);
    QCOMPARE(a->shortcut(), QKeySequence(shortcut));
    QCOMPARE(a->isCheckable(), checkable);
    if (name.startsWith(QLatin1String("actionFPS_")))
        QCOMPARE(a->toolTip(), text);
}

void TestMainWindow::frontPanelKeys_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("press");
    QTest::addColumn<QByteArray>("release");
    auto row = [](const char *button, const char *name, const char *press, const char *release) {
        QTest::newRow(button) << QString::fromLatin1(button) << QString::fromLatin1(name) << QByteArray::fromHex(press)
                              << QByteArray::fromHex(release);
    };
    row("fpb_Transmit_0d01", "Transmit", "fe0d01fd", "fe0d00fd");
    row("fpb_Tune_0d02", "Tune", "fe0d02fd", "fe0d00fd");
    row("fpb_VoxBkIn_0d04", "VoxBkIn", "fe0d04fd", "fe0d00fd");
    row("fpb_Menu_0d08", "Menu", "fe0d08fd", "fe0d00fd");
    row("fpb_Function_0d10", "Function", "fe0d10fd", "fe0d00fd");
    row("fpb_MScope_0d20", "MScope", "fe0d20fd", "fe0d00fd");
    row("fpb_Quick_0d40", "Quick", "fe0d40fd", "fe0d00fd");
    row("fpb_XFC_0d80", "XFC", "fe0d80fd", "fe0d00fd");
    row("fpb_PAmpAtt_0e01", "PAmpAtt", "fe0e01fd", "fe0e00fd");
    row("fpb_Notch_0e02", "Notch", "fe0e02fd", "fe0e00fd");
    row("fpb_NB_0e04", "NB", "fe0e04fd", "fe0e00fd");
    row("fpb_NR_0e08", "NR", "fe0e08fd", "fe0e00fd");
    row("fpb_Exit_0e10", "Exit", "fe0e10fd", "fe0e00fd");
    row("fpb_Tuner_0e20", "Tuner", "fe0e20fd", "fe0e00fd");
    row("fpb_SpLock_0e40", "SpLock", "fe0e40fd", "fe0e00fd");
    row("fpb_MPad_0e80", "MPad", "fe0e80fd", "fe0e00fd");
    row("fpb_AB_0f01", "AB", "fe0f01fd", "fe0f00fd");
    row("fpb_VM_0f02", "VM", "fe0f02fd", "fe0f00fd");
    row("fpb_MUp_0f04", "MUp", "fe0f04fd", "fe0f00fd");
    row("fpb_MDown_0f08", "MDown", "fe0f08fd", "fe0f00fd");
    row("fpb_RIT_0f10", "RIT", "fe0f10fd", "fe0f00fd");
    row("fpb_DeltaTx_0f20", "DeltaTx", "fe0f20fd", "fe0f00fd");
    row("fpb_Clear_0f40", "Clear", "fe0f40fd", "fe0f00fd");
    row("fpb_Split_0f80", "Split", "fe0f80fd", "fe0f00fd");
    row("fpb_Multi_1004", "Multi", "fe1004fd", "fe1000fd");
    row("fpb2_Menu_0d08", "Menu", "fe0d08fd", "fe0d00fd");
    row("fpb2_Function_0d10", "Function", "fe0d10fd", "fe0d00fd");
    row("fpb2_MScope_0d20", "MScope", "fe0d20fd", "fe0d00fd");
    row("fpb2_Quick_0d40", "Quick", "fe0d40fd", "fe0d00fd");
    row("fpb2_Exit_0e10", "Exit", "fe0e10fd", "fe0e00fd");
}

void TestMainWindow::frontPanelKeys()
{
    QFETCH(QString, button);
    QFETCH(QString, name);
    QFETCH(QByteArray, press);
    QFETCH(QByteArray, release);

    // The Minimal view's keys are used while that view shows.
    child<QAction>(button.startsWith(QLatin1String("fpb2_")) ? QStringLiteral("actionMinimal")
                                                             : QStringLiteral("actionFull"))
        ->trigger();
    activatePanel();
    QPushButton *b = child<QPushButton>(button);
    QVERIFY(b);
    QTRY_VERIFY(b->isVisible());
    m_peer->clear();
    m_log->clear();

    QTest::mousePress(b, Qt::LeftButton);
    QCOMPARE(child<QLabel>(QStringLiteral("lastActionLabel"))->text(), QStringLiteral("Button Press: %1").arg(name));
    m_clock.advance(MainWindow::kMinimumKeyHoldMs);
    QTest::mouseRelease(b, Qt::LeftButton);
    QVERIFY(m_peer->waitForInjects(2));
    QTest::qWait(80); // nothing else may follow
    QCOMPARE(m_peer->injects(), QList<QByteArray>({press, release}));
    QCOMPARE(
        m_log->count(
            QStringLiteral("Inject press front panel button: %1, %2.").arg(name, QString::fromLatin1(press.toHex()))),
        1);
    QCOMPARE(m_log->count(QStringLiteral("Inject release front panel button: %1, %2.")
                              .arg(name, QString::fromLatin1(release.toHex()))),
             1);
    QCOMPARE(child<QLabel>(QStringLiteral("lastActionLabel"))->text(), QStringLiteral("Button Release: %1").arg(name));
}

// Hold times on the window's own clock, moved by hand: "+N" moves it N ms, "press/release <button>" emits the
// button's signal (two keys down at once cannot be clicked with one mouse), "await <text>" runs the event loop until
// the window logs text. Afterwards the window's key log must read exactly as expected and the unit must have seen the
// presses and releases in that order.
void TestMainWindow::keyHold_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected");
    const QString notch = QStringLiteral("fpb_Notch_0e02");
    const QString split = QStringLiteral("fpb_Split_0f80");
    const QString pressN = QStringLiteral("Inject press front panel button: Notch, fe0e02fd.");
    const QString releaseN = QStringLiteral("Inject release front panel button: Notch, fe0e00fd.");
    const QString pressS = QStringLiteral("Inject press front panel button: Split, fe0f80fd.");
    const QString releaseS = QStringLiteral("Inject release front panel button: Split, fe0f00fd.");
    QTest::newRow("released at 10 ms") << QStringList{"press " + notch, "+10", "release " + notch, "+40"}
                                       << QStringList{pressN, "Defer up for 40 ms", releaseN};
    QTest::newRow("released at 49 ms") << QStringList{"press " + notch, "+49", "release " + notch, "+1"}
                                       << QStringList{pressN, "Defer up for 1 ms", releaseN};
    QTest::newRow("released at 50 ms") << QStringList{"press " + notch, "+50", "release " + notch}
                                       << QStringList{pressN, releaseN};
    QTest::newRow("released at 51 ms") << QStringList{"press " + notch, "+51", "release " + notch}
                                       << QStringList{pressN, releaseN};
    // The deferred release measures again when it runs: it never goes out before the 50 ms are up.
    QTest::newRow("deferred release waits for the clock")
        << QStringList{"press " + notch, "+10", "release " + notch, "+30", "await Defer up for 10 ms", "+10"}
        << QStringList{pressN, "Defer up for 40 ms", "Defer up for 10 ms", releaseN};
    // Each key has its own press time: NOTCH was held 75 ms when SPLIT went down 5 ms before its release.
    QTest::newRow("two keys interleaved") << QStringList{"press " + notch,   "+70", "press " + split,   "+5",
                                                         "release " + notch, "+10", "release " + split, "+35"}
                                          << QStringList{pressN, pressS, releaseN, "Defer up for 35 ms", releaseS};
}

void TestMainWindow::keyHold()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expected);
    child<QAction>(QStringLiteral("actionFull"))->trigger();
    activatePanel();
    m_peer->clear();
    m_log->clear();
    for (const QString &step : steps) {
        const QString arg = step.section(QLatin1Char(' '), 1);
        if (step.startsWith(QLatin1Char('+'))) {
            m_clock.advance(step.mid(1).toInt());
        } else if (step.startsWith(QLatin1String("await "))) {
            QVERIFY2(m_log->waitFor(arg, 2000), qPrintable(step));
        } else {
            QPushButton *b = child<QPushButton>(arg);
            QVERIFY2(b, qPrintable(arg));
            if (step.startsWith(QLatin1String("press ")))
                emit b->pressed();
            else
                emit b->released();
        }
    }
    const QString releaseLine = QStringLiteral("Inject release");
    const int releases = expected.filter(releaseLine).size();
    QTRY_COMPARE_WITH_TIMEOUT(m_log->count(releaseLine), releases, 2000);
    QTest::qWait(60); // a deferral that repeats would show by now
    QStringList keyLines;
    for (const QString &l : m_log->lines()) {
        if (l.startsWith(QLatin1String("Inject ")) || l.startsWith(QLatin1String("Defer up for ")))
            keyLines << l;
    }
    QCOMPARE(keyLines, expected);

    QVERIFY(m_peer->waitForInjects(expected.filter(QStringLiteral("Inject ")).size()));
    QList<QByteArray> wire;
    for (const QString &l : expected) {
        if (l.startsWith(QLatin1String("Inject ")))
            wire << QByteArray::fromHex(l.section(QStringLiteral(", "), -1).chopped(1).toLatin1());
    }
    QCOMPARE(m_peer->injects(), wire);
}

void TestMainWindow::misnamedKeys_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("two parts") << "fpb_Test";
    QTest::newRow("three hex digits") << "fpb_X_123";
    QTest::newRow("five hex digits") << "fpb_X_0e021";
    QTest::newRow("four parts") << "fpb_A_B_0e02";
    QTest::newRow("not hexadecimal") << "fpb_Notch_0g02";
}

void TestMainWindow::misnamedKeys()
{
    QFETCH(QString, name);
    QWidget extra;
    auto *wrong = new QPushButton(QStringLiteral("wrong"), &extra);
    wrong->setObjectName(name);
    auto *right = new QPushButton(QStringLiteral("right"), &extra);
    right->setObjectName(QStringLiteral("fpb_Probe_0e04"));
    right->move(0, 40);
    extra.show();
    QVERIFY(QTest::qWaitForWindowExposed(&extra));
    m_log->clear();
    m_peer->clear();

    m_window->wireFrontPanelButtons(&extra);
    QCOMPARE(m_log->count(QStringLiteral("Button '%1' is setup wrong").arg(name)), 1);
    QCOMPARE(m_log->count(QStringLiteral("is setup wrong")), 1);

    click(wrong, 60);
    QTest::qWait(150);
    QVERIFY(m_peer->injects().isEmpty());
    // The same wiring does work for a well-named key beside it.
    click(right, 60);
    QVERIFY(m_peer->waitForInjects(2));
    QCOMPARE(m_peer->injects(), QList<QByteArray>({QByteArray::fromHex("fe0e04fd"), QByteArray::fromHex("fe0e00fd")}));
}

void TestMainWindow::panelFollowsStatus_data()
{
    QTest::addColumn<OverallStatus::Status>("status");
    QTest::addColumn<bool>("panel");
    QTest::addColumn<bool>("power");
    QTest::newRow("Active") << OverallStatus::Active << true << true;
    QTest::newRow("RadioOffReady") << OverallStatus::RadioOffReady << false << true;
    QTest::newRow("RadioOffNotReady") << OverallStatus::RadioOffNotReady << false << false;
    QTest::newRow("Sleeping") << OverallStatus::Sleeping << false << false;
    QTest::newRow("PoweringOn") << OverallStatus::PoweringOn << false << false;
    QTest::newRow("Disconnected") << OverallStatus::Disconnected << false << false;
    QTest::newRow("Invalid") << OverallStatus::Invalid << false << false;
}

void TestMainWindow::panelFollowsStatus()
{
    QFETCH(OverallStatus::Status, status);
    QFETCH(bool, panel);
    QFETCH(bool, power);
    child<QAction>(QStringLiteral("actionFull"))->trigger();
    QHash<QPushButton *, bool> ownedWindows;
    for (QPushButton *b : m_window->findChildren<QPushButton *>())
        if (b->window() != m_window.get())
            ownedWindows.insert(b, b->isEnabled());
    m_window->setEnables(status);
    for (RenderLabel *zone : m_window->findChildren<RenderLabel *>())
        zone->changedStatus(status);

    int keys = 0;
    for (QPushButton *b : m_window->findChildren<QPushButton *>()) {
        if (b->objectName() == QLatin1String("unit_power"))
            continue;
        if (b->window() == m_window->credentialsDialog())
            continue; // its export button follows whether a key is stored
        if (b->window() != m_window.get()) {
            // The windows it owns (Peek/Poke, Save Video) talk to the unit or to files, not to the radio: the radio's
            // state leaves their buttons as they were.
            QVERIFY2(b->isEnabled() == ownedWindows.value(b), qPrintable(b->objectName()));
            continue;
        }
        QVERIFY2(b->isEnabled() == panel, qPrintable(b->objectName()));
        ++keys;
    }
    QCOMPARE(keys, 31); // 25 keys, 5 repeated in the Minimal view, and the C/L/R button
    for (QDial *d : m_window->findChildren<QDial *>())
        QVERIFY2(d->isEnabled() == panel, qPrintable(d->objectName()));
    QCOMPARE(m_window->findChildren<QDial *>().size(), 6);
    QCOMPARE(child<QPushButton>(QStringLiteral("unit_power"))->isEnabled(), power);

    // Disabled keys inject nothing when clicked.
    m_peer->clear();
    click(child<QPushButton>(QStringLiteral("fpb_Notch_0e02")), 60);
    QTest::qWait(60);
    QCOMPARE(m_peer->injects().size(), panel ? 2 : 0);

    const QImage shot = m_window->grab().toImage();
    shot.save(screenshotPath(QStringLiteral("mainwindow_full_%1").arg(QString::fromLatin1(QTest::currentDataTag()))));
    if (status != OverallStatus::Active) {
        // Not Active: the picture is black with the status name in red.
        RenderLabel *zone = child<RenderLabel>(QStringLiteral("renderZone_1"));
        const QImage pic = zone->grab().toImage();
        QCOMPARE(QColor(pic.pixel(3, 3)), QColor(Qt::black));
        int red = 0;
        for (int y = 0; y < 272; ++y)
            for (int x = 0; x < 480; ++x)
                red += QColor(pic.pixel(x, y)) == QColor(Qt::red);
        QVERIFY2(red > 500, qPrintable(QString::number(red)));
    }
}

void TestMainWindow::powerButton()
{
    child<QAction>(QStringLiteral("actionFull"))->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::RadioOffNotReady, 3000);
    m_window->setEnables(OverallStatus::RadioOffReady);
    QPushButton *power = child<QPushButton>(QStringLiteral("unit_power"));
    QVERIFY(power->isEnabled());
    m_peer->clear();

    QElapsedTimer sincePress;
    sincePress.start();
    QTest::mousePress(power, Qt::LeftButton);
    QVERIFY(!power->isEnabled());
    QTest::mouseRelease(power, Qt::LeftButton);
    // Clicks while it is locked out press nothing, however soon or late the machine gets to them.
    click(power, 10);
    click(power, 10);
    QTRY_VERIFY_WITH_TIMEOUT(power->isEnabled(), 5000);
    // A coarse timer may fire up to 5 % early; a lock-out that was not there would show as 0 here.
    QVERIFY2(sincePress.elapsed() >= MainWindow::kPowerLockoutMs * 95 / 100,
             qPrintable(QString::number(sincePress.elapsed())));
    QVERIFY(m_peer->waitForWrites(PylonController::da_pwrk_click, 1));
    QTest::qWait(100); // the unit has had time to see any second write
    QCOMPARE(m_peer->writesTo(PylonController::da_pwrk_click), QList<uint32_t>({27500000u}));
    QVERIFY(!child<QPushButton>(QStringLiteral("fpb_Notch_0e02"))->isEnabled());
    // Unlocked, the next press writes again.
    click(power, 10);
    QVERIFY(m_peer->waitForWrites(PylonController::da_pwrk_click, 2));
    QTRY_VERIFY_WITH_TIMEOUT(power->isEnabled(), 5000);
}

void TestMainWindow::frameRate_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("divisor");
    QTest::addColumn<uint>("sent");
    QTest::newRow("60") << "actionFPS_60" << 60 << 1 << 0u;
    QTest::newRow("15") << "actionFPS_15" << 15 << 4 << 3u;
    QTest::newRow("10") << "actionFPS_10" << 10 << 6 << 5u;
    QTest::newRow("1") << "actionFPS_01" << 1 << 60 << 59u;
    QTest::newRow("30") << "actionFPS_30" << 30 << 2 << 1u;
    QTest::newRow("30 again") << "actionFPS_30" << 30 << 2 << 1u;
    QTest::newRow("5") << "actionFPS_05" << 5 << 12 << 11u;
}

void TestMainWindow::frameRate()
{
    QFETCH(QString, action);
    QFETCH(int, rate);
    QFETCH(int, divisor);
    QFETCH(uint, sent);
    m_peer->clear();
    m_log->clear();
    QAction *a = child<QAction>(action);
    a->trigger();

    QVERIFY(m_peer->waitForWrites(kDivisorRegister, 1));
    QCOMPARE(m_peer->writesTo(kDivisorRegister), QList<uint32_t>({sent}));
    QCOMPARE(m_log->count(QStringLiteral("Framerate set to %1 FPS (divisor %2).").arg(rate).arg(divisor)), 1);
    QCOMPARE(child<QLabel>(QStringLiteral("lastActionLabel"))->text(), QStringLiteral("Set FPS %1").arg(rate));
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    QCOMPARE(s.value(SettingsKeys::kMainWindowFrameRate).toString(), action);
    // Exactly one rate is shown as chosen, also when the chosen one is picked again.
    for (QAction *other : m_window->findChildren<QAction *>(QRegularExpression(QStringLiteral("^actionFPS_"))))
        QCOMPARE(other->isChecked(), other == a);
}

void TestMainWindow::views_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("zone");
    QTest::newRow("Screen Only") << "actionScreen_Only" << 2 << "renderZone_3";
    QTest::newRow("Minimal") << "actionMinimal" << 1 << "renderZone_2";
    QTest::newRow("Full") << "actionFull" << 0 << "renderZone_1";
    QTest::newRow("Screen Only again") << "actionScreen_Only" << 2 << "renderZone_3";
}

void TestMainWindow::views()
{
    QFETCH(QString, action);
    QFETCH(int, page);
    QFETCH(QString, zone);
    // Start from the largest view so that every change has to shrink or grow the window.
    child<QAction>(QStringLiteral("actionFull"))->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->width() > 480 + 300, 300); // panels either side of the picture
    QTRY_COMPARE_WITH_TIMEOUT(m_window->size(), m_window->minimumSizeHint(), 300);
    const QSize full = m_window->size();

    child<QAction>(action)->trigger();
    QCOMPARE(child<QStackedWidget>(QStringLiteral("stackedWidget"))->currentIndex(), page);
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    QCOMPARE(s.value(SettingsKeys::kViewport).toInt(), page);
    // Within a few milliseconds the window shrinks to fit its new contents.
    if (page != 0)
        QTRY_VERIFY_WITH_TIMEOUT(m_window->width() < full.width() && m_window->height() < full.height(), 300);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->size(), m_window->minimumSizeHint(), 300);
    QCOMPARE(m_window->whichLabel(), child<RenderLabel>(zone));
    if (page == 2) {
        // Only the picture (480 x 272 at least) and the menu bar remain.
        QVERIFY2(m_window->width() < 480 + 40, qPrintable(QString::number(m_window->width())));
        QVERIFY(m_window->height() < 272 + m_window->menuBar()->height() + 40);
    }
    m_window->setEnables(OverallStatus::Active);
    m_window->grab().save(screenshotPath(QStringLiteral("mainwindow_view_%1").arg(page)));
}

void TestMainWindow::statusBarSurvivesViewChanges()
{
    QAction *statusBar = child<QAction>(QStringLiteral("actionStatus_Bar"));
    QFrame *bottom = child<QFrame>(QStringLiteral("bottomFrame"));
    child<QAction>(QStringLiteral("actionMinimal"))->trigger();
    statusBar->trigger(); // on
    QVERIFY(statusBar->isChecked());
    QVERIFY(bottom->isVisible());
    QCOMPARE(child<QStackedWidget>(QStringLiteral("stackedWidget"))->currentIndex(), 1); // the saved view stays
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    QCOMPARE(s.value(SettingsKeys::kStatusBar).toBool(), true);

    child<QAction>(QStringLiteral("actionScreen_Only"))->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(m_window->size(), m_window->minimumSizeHint(), 200);
    QVERIFY(bottom->isVisible());
    m_window->grab().save(screenshotPath(QStringLiteral("mainwindow_screen_only_status_bar")));
    child<QAction>(QStringLiteral("actionFull"))->trigger();
    QVERIFY(bottom->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(m_window->size(), m_window->minimumSizeHint(), 200);
    m_window->grab().save(screenshotPath(QStringLiteral("mainwindow_full_status_bar")));

    statusBar->trigger(); // off again
    QVERIFY(!bottom->isVisible());
    QCOMPARE(s.value(SettingsKeys::kStatusBar).toBool(), false);
}

void TestMainWindow::wheelOverPictureTurnsMainDial_data()
{
    QTest::addColumn<int>("angle");
    QTest::addColumn<int>("notches");
    QTest::newRow("one notch up") << 120 << 1;
    QTest::newRow("one notch down") << -120 << -1;
    QTest::newRow("two notches down") << -240 << -2;
}

void TestMainWindow::wheelOverPictureTurnsMainDial()
{
    QFETCH(int, angle);
    QFETCH(int, notches);
    child<QAction>(QStringLiteral("actionFull"))->trigger();
    activatePanel();
    QDial *dial = child<QDial>(QStringLiteral("mainDial"));
    RenderLabel *zone = child<RenderLabel>(QStringLiteral("renderZone_1"));
    const int before = dial->value();
    const uint32_t position = m_window->controller()->mirroredRegister(PylonController::db_main_dial_encoder);
    m_peer->clear();

    const QPoint at(100, 100);
    QWheelEvent wheel(QPointF(at), QPointF(zone->mapToGlobal(at)), QPoint(), QPoint(0, angle), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(zone, &wheel);

    const int ticks = notches * QApplication::wheelScrollLines();
    QTRY_COMPARE(dial->value(), (before + ticks + 359) % 359);
    QVERIFY(m_peer->waitForWrites(PylonController::db_main_dial_encoder, 1));
    QCOMPARE(m_peer->writesTo(PylonController::db_main_dial_encoder), QList<uint32_t>({position + uint32_t(ticks)}));
}

void TestMainWindow::debugRegisterActions_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<uint>("reg");
    QTest::addColumn<uint>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("inhibit") << "actionInhibit_Transmit" << uint(kCaptureControl) << 0u << "Tx Inhibit";
    QTest::newRow("enable") << "actionEnable_Transmit" << uint(kCaptureControl) << 1u << "Tx Enable";
    QTest::newRow("reset") << "actionResetSOC" << uint(PylonController::ctrl_reset) << 1u << "Reset SoC";
    QTest::newRow("halt") << "actionHaltSOC" << uint(PylonController::ctrl_halt) << 0u << "Halt SOC";
    QTest::newRow("watchdog") << "actionTripWd" << uint(PylonController::da_cpu_watchdog) << 0u << "Trip SoC Watchdog";
}

void TestMainWindow::debugRegisterActions()
{
    QFETCH(QString, action);
    QFETCH(uint, reg);
    QFETCH(uint, value);
    QFETCH(QString, text);
    m_peer->clear();
    m_log->clear();
    child<QAction>(action)->trigger();
    QVERIFY(m_peer->waitForWrites(reg, 1));
    QCOMPARE(m_peer->writesTo(reg).first(), value);
    QCOMPARE(m_log->count(QStringLiteral("Action: ") + text), 1);
    QCOMPARE(child<QLabel>(QStringLiteral("lastActionLabel"))->text(), text);
}

void TestMainWindow::constantRateDial()
{
    QAction *constant = child<QAction>(QStringLiteral("actionConstant_Rate_Right_Dial"));
    const uint32_t start = m_window->controller()->mirroredRegister(PylonController::db_main_dial_encoder);
    m_peer->clear();
    constant->trigger(); // on
    QTest::qWait(300);
    constant->trigger(); // off
    QTest::qWait(50);
    const QList<uint32_t> turns = m_peer->writesTo(PylonController::db_main_dial_encoder);
    // One detent backwards every 33 ms: about nine in 300 ms, each one further than the one before.
    QVERIFY2(turns.size() >= 6 && turns.size() <= 11, qPrintable(QString::number(turns.size())));
    for (int i = 0; i < turns.size(); ++i)
        QCOMPARE(turns[i], start - uint32_t(i + 1));
    QTest::qWait(150);
    QCOMPARE(m_peer->writesTo(PylonController::db_main_dial_encoder).size(), turns.size());
}

void TestMainWindow::stateAndActionTexts()
{
    m_log->clear();
    m_window->updateState(QStringLiteral("Testing state"));
    m_window->updateState(QStringLiteral("Testing state"));
    QCOMPARE(m_log->count(QStringLiteral("State: Testing state")), 1);
    QCOMPARE(child<QLabel>(QStringLiteral("stateLabel"))->text(), QStringLiteral("Testing state"));
    m_window->updateAction(QStringLiteral("Testing action"));
    m_window->updateAction(QStringLiteral("Testing action"));
    QCOMPARE(m_log->count(QStringLiteral("Action: Testing action")), 2);
    QCOMPARE(child<QLabel>(QStringLiteral("lastActionLabel"))->text(), QStringLiteral("Testing action"));
}

void TestMainWindow::frameChain()
{
    // Frames of no producer's pool: the worker at the end of the chain leaves them alone, so the test can watch what
    // the window hands on.
    Frame_t frames[4];
    for (Frame_t &f : frames)
        std::fill(f.pixels.get(), f.pixels.get() + Frame_t::Bytes, uint8_t(0));
    // Pure red in RGB565, stored little-endian.
    for (int i = 0; i < Frame_t::Bytes; i += 2) {
        frames[1].pixels[i] = 0x00;
        frames[1].pixels[i + 1] = 0xF8;
    }
    QSignalSpy disposed(m_window.get(), &MainWindow::buffDispose);
    child<QAction>(QStringLiteral("actionFull"))->trigger();
    RenderLabel *full = child<RenderLabel>(QStringLiteral("renderZone_1"));
    RenderLabel *minimal = child<RenderLabel>(QStringLiteral("renderZone_2"));
    full->setFrame(nullptr);
    minimal->setFrame(nullptr);

    m_window->workerFramePassthrough(&frames[0]);
    QCOMPARE(disposed.size(), 0); // the newest frame stays on screen
    m_window->workerFramePassthrough(&frames[1]);
    QCOMPARE(disposed.size(), 1);
    QCOMPARE(disposed.at(0).at(0).value<Frame_t *>(), &frames[0]);
    QCOMPARE(full->heldFrame(), &frames[1]);

    // What the visible zone paints is the frame's picture.
    full->changedStatus(OverallStatus::Active);
    const QImage pic = full->grab().toImage();
    QCOMPARE(QColor(pic.pixel(10, 10)), QColor(255, 0, 0));
    QCOMPARE(QColor(pic.pixel(full->pictureSize().width() - 2, full->pictureSize().height() - 2)), QColor(255, 0, 0));

    // Frames go to the zone that is visible; the hidden one keeps its frame until it shows again.
    child<QAction>(QStringLiteral("actionMinimal"))->trigger();
    QTRY_VERIFY(minimal->isVisible());
    m_window->workerFramePassthrough(&frames[2]);
    QCOMPARE(disposed.size(), 1);
    QCOMPARE(minimal->heldFrame(), &frames[2]);
    QCOMPARE(full->heldFrame(), &frames[1]);
    child<QAction>(QStringLiteral("actionFull"))->trigger();
    QTRY_VERIFY(full->isVisible());
    m_window->workerFramePassthrough(&frames[3]);
    QCOMPARE(disposed.size(), 2);
    QCOMPARE(disposed.at(1).at(0).value<Frame_t *>(), &frames[1]);

    // Leave no test frame behind in the window.
    full->setFrame(nullptr);
    minimal->setFrame(nullptr);
}

void TestMainWindow::closeSavesAndStopsStream()
{
    child<QAction>(QStringLiteral("actionMinimal"))->trigger();
    child<QAction>(QStringLiteral("actionFPS_05"))->trigger();
    QTest::qWait(20);
    m_peer->clear();
    m_log->clear();
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    m_window->close();
    QCOMPARE(m_log->count(QStringLiteral("Close event, save parameters to ") + s.fileName()), 1);
    QVERIFY(m_peer->waitForWrites(kCaptureControl, 1));
    QCOMPARE(m_peer->writesTo(kCaptureControl).first(), 0u);
    s.sync();
    QCOMPARE(s.value(SettingsKeys::kMainWindowStackIndex).toInt(), 1);
    QVERIFY(!s.value(SettingsKeys::kMainWindowGeometry).toByteArray().isEmpty());
}

void TestMainWindow::nextStartRestoresChoices()
{
    m_window.reset();
    m_peer->clear();
    startWindow();
    QVERIFY(m_peer->waitForWrites(kDivisorRegister, 1));
    QCOMPARE(m_peer->writesTo(kDivisorRegister).first(), 11u);
    QVERIFY(child<QAction>(QStringLiteral("actionFPS_05"))->isChecked());
    QVERIFY(!child<QAction>(QStringLiteral("actionFPS_30"))->isChecked());
    QCOMPARE(child<QStackedWidget>(QStringLiteral("stackedWidget"))->currentIndex(), 1);
    QCOMPARE(m_window->whichLabel(), child<RenderLabel>(QStringLiteral("renderZone_2")));
}

void TestMainWindow::missingKeyIsShown()
{
    m_window.reset();
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.remove(SettingsKeys::kNetPsk);
    s.sync();
    m_log->clear();
    m_window.reset(new MainWindow(nullptr, &m_clock));
    m_window->show();
    QLabel *state = child<QLabel>(QStringLiteral("stateLabel"));
    QTRY_VERIFY_WITH_TIMEOUT(state->text().contains(QStringLiteral("No Key Present")), 4000);
    QVERIFY(m_log->contains(QStringLiteral("No Key Present")));
    // The controller's repeated "Idle" does not wipe the reason away.
    QTest::qWait(300);
    QCOMPARE(state->text(), QStringLiteral("Idle - No Key Present"));
    // The credentials dialog comes up with the reason, ready to import a key.
    QWidget *dialog = m_window->credentialsDialog();
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("helpfulMessage"))->text(), QStringLiteral("No Key Present"));
    dialog->close();
    child<QAction>(QStringLiteral("actionSet_Username_Password"))->trigger();
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->findChild<QLabel *>(QStringLiteral("helpfulMessage"))->isVisible());
    m_window.reset();
}

void TestMainWindow::openLogFileNeedsLogFile_data()
{
    QTest::addColumn<QString>("logPath");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("no log file") << "" << false;
    QTest::newRow("log file") << QDir::tempPath() + QStringLiteral("/log.txt") << true;
}

// Start-up leaves the log path empty when there is no log file; the menu then offers none to show.
void TestMainWindow::openLogFileNeedsLogFile()
{
    QFETCH(QString, logPath);
    QFETCH(bool, enabled);
    m_window.reset();
    AppPlatform::instance().setLogFilePath(logPath);
    m_window.reset(new MainWindow(nullptr, &m_clock));
    QCOMPARE(child<QAction>(QStringLiteral("actionOpen_log_file"))->isEnabled(), enabled);
    m_window.reset();
    AppPlatform::instance().setLogFilePath(QString());
}

void TestMainWindow::generateAppCrashIsRecorded()
{
    const QString crashDir =
        QDir::tempPath() + QStringLiteral("/vq6020-crash-test-%1/").arg(QCoreApplication::applicationPid());
    QDir(crashDir).removeRecursively();
    QDir().mkpath(crashDir);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VQ6020_CRASH_CHILD"), crashDir);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QStringList reports = QDir(crashDir + QStringLiteral("crashes")).entryList(QDir::Files);
    QVERIFY2(!reports.isEmpty(), qPrintable(QString::fromLocal8Bit(child.readAllStandardError())));
    QDir(crashDir).removeRecursively();
}

// A user who closes the main window with every other window of the client open still ends the program, and the
// video port is free again for the next start. The child process starts as the client does, with its own event loop.
void TestMainWindow::closingMainWindowEndsProgram()
{
    m_window.reset(); // this process gives the video port back first
    QTemporaryDir config;
    QVERIFY(config.isValid());
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VQ6020_CLOSE_CHILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path()); // no key: the child stays away from the test's peer
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    const bool ended = child.waitForFinished(30000);
    if (!ended) {
        child.kill();
        child.waitForFinished();
    }
    const QString out = QString::fromLocal8Bit(child.readAll());
    QVERIFY2(out.contains(QStringLiteral("open: About MainWindow PeekPoke SingalBit")), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("video port while open: taken")), qPrintable(out));
    QVERIFY2(ended, qPrintable(QStringLiteral("still running 30 s after the close:\n") + out));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY2(out.contains(QStringLiteral("video port after exit: free")), qPrintable(out));
}

// In the child process: a window with the crash handler armed, then the menu entry that crashes on purpose.
static int crashChild(int argc, char **argv, const QString &dataDir)
{
    QApplication app(argc, argv);
    startCrashHandler(QStringLiteral("vq6020"), QStringLiteral("1.0.31"), dataDir);
    MainWindow w;
    w.findChild<QAction *>(QStringLiteral("actionGenerate_App_Crash"))->trigger();
    return 0; // not reached
}

namespace {
std::atomic<bool> g_workerStarted{false};

void noteWorkerStart(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    if (msg.contains(QLatin1String("Started Network Worker Thread.")))
        g_workerStarted = true;
    fprintf(stderr, "%s\n", qPrintable(msg));
}

QString videoPortState()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::AnyIPv4, 1337, QAbstractSocket::DontShareAddress) ? QStringLiteral("free")
                                                                                      : QStringLiteral("taken");
}
} // namespace

// The maintenance window exists from start-up, in a window of its own, and the menu only shows it.
void TestMainWindow::firmwareWindowFromMenu()
{
    m_window.reset(new MainWindow(nullptr, &m_clock));
    Firmware *firmware = m_window->firmwareWindow();
    QVERIFY(firmware);
    QVERIFY(!firmware->parent());
    QVERIFY(!firmware->isVisible());
    QAction *action = child<QAction>(QStringLiteral("actionFirmware_Update"));
    QVERIFY(action->isEnabled());
    action->trigger();
    QTRY_VERIFY(firmware->isVisible());
    QCOMPARE(firmware->windowTitle(), QStringLiteral("Firmware Control"));
    firmware->close();
    action->trigger();
    QVERIFY(firmware->isVisible());
    QCOMPARE(m_window->firmwareWindow(), firmware);
    // The unit's reports of its image CRC reach the window's version check; other registers do not.
    emit m_window->controller()->registerChanged(PylonController::da_firmware_version, 0x1234abcd);
    emit m_window->controller()->registerChanged(PylonController::da_flash_crc, 0x0badcafe);
    QVERIFY(m_log->contains(QStringLiteral("Unit reports flash image CRC 0badcafe")));
    QVERIFY(!m_log->contains(QStringLiteral("Unit reports flash image CRC 1234abcd")));
    m_window.reset();
}

// In the child process: the client's window opened as start-up opens it, every window it owns opened from its menus,
// then the main window closed. Only the event loop ending by itself lets this return.
static int closeChild(int argc, char **argv)
{
    qInstallMessageHandler(noteWorkerStart);
    QApplication app(argc, argv);
    int result = -1;
    {
        MainWindow w;
        w.show();
        for (const char *action : {"actionPeek_Poke", "actionRGB_16_Signal_Bit_Test", "actionAbout"})
            w.findChild<QAction *>(QLatin1String(action))->trigger();
        // Closed once the worker holds the video port (it binds on its own thread), or after 10 s regardless.
        QElapsedTimer sinceShown;
        sinceShown.start();
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &w, [&] {
            if (!g_workerStarted && sinceShown.elapsed() < 10000)
                return;
            poll.stop();
            const QString port = videoPortState();
            QStringList open;
            for (QWidget *top : QApplication::topLevelWidgets()) {
                if (top->isVisible())
                    open << top->objectName();
            }
            open.sort();
            printf("open: %s\nvideo port while open: %s\n", qPrintable(open.join(QLatin1Char(' '))), qPrintable(port));
            fflush(stdout);
            w.close();
        });
        poll.start(50);
        result = app.exec();
    }
    printf("video port after exit: %s\n", qPrintable(videoPortState()));
    return result;
}

int main(int argc, char **argv)
{
    const QString crashDir = qEnvironmentVariable("VQ6020_CRASH_CHILD");
    if (!crashDir.isEmpty())
        return crashChild(argc, argv, crashDir);
    if (qEnvironmentVariableIsSet("VQ6020_CLOSE_CHILD"))
        return closeChild(argc, argv);
    QApplication app(argc, argv);
    TestMainWindow tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_mainwindow.moc"
