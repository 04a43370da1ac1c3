#include "ui/MainWindow.h"

#include "app/AppPlatform.h"
#include "app/SettingsKeys.h"
#include "link/LrxdDecoder.h"
#include "link/LtxdDecoder.h"
#include "maintenance/Firmware.h"
#include "maintenance/PromptCredentials.h"
#include "script/Midi.h"
#include "script/ScriptAPI.h"
#include "script/ScriptWatchdog.h"
#include "stream/PylonWorker.h"
#include "ui/About.h"
#include "settings/Preferences.h"
#include "settings/Updater.h"
#include "ui/PeekPoke.h"
#include "ui/RenderLabel.h"
#include "ui/RotaryAccumulator.h"
#include "ui/SingalBit.h"
#include "ui_MainWindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QQuickView>
#include <QThread>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent, const Clock *clock, std::unique_ptr<MidiBackend> midiBackend)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication),
      m_status(new OverallStatus(this)), m_scriptApi(new ScriptAPI(this)), m_peekPoke(new PeekPoke(this)),
      m_workerThread(new QThread(this)), m_worker(new PylonWorker), m_controller(new PylonController(this)),
      m_ltxdDecoder(new LtxdDecoder(this)), m_lrxdDecoder(new LrxdDecoder(this)), m_clock(clock),
      m_mainAccumulator(new RotaryAccumulator(this)), m_multiAccumulator(new RotaryAccumulator(this)),
      m_bpfInAccumulator(new RotaryAccumulator(this)), m_bpfOutAccumulator(new RotaryAccumulator(this)),
      m_midi(new Midi(midiBackend ? std::move(midiBackend) : createPortMidiBackend(), this)),
      // Real time, whatever clock the key holds are measured with: the watchdog's thread reads it while the GUI
      // thread is stuck.
      m_watchdog(new ScriptWatchdog(this)), m_about(new About(this)), m_bitTest(new SingalBit(this)),
      m_credentials(new PromptCredentials(this))
{
    ui->setupUi(this);
    QThread::currentThread()->setObjectName(QStringLiteral("GUI Thread"));

    m_workerThread->setObjectName(QStringLiteral("PylonWorker"));
    m_worker->moveToThread(m_workerThread);
    // The worker's sockets and timers belong to its thread, so it is deleted there, as the thread winds down.
    connect(m_workerThread, &QThread::finished, m_worker, &QObject::deleteLater);

    setupRecording();
    wireControllerAndWorker();

    m_workerThread->start(QThread::InheritPriority);
    QMetaObject::invokeMethod(m_worker, "startWorker", Qt::QueuedConnection);

    setupFrameRateActions();
    setupRenderZones();
    wireFrontPanelButtons(this);
    setupViews();
    setupExtensions();

    connect(ui->actionLog_Network_Metadata, &QAction::toggled, m_worker, &PylonWorker::logPacketData);
    connect(m_status, &OverallStatus::notifyChange, this, &MainWindow::setEnables);

    ui->stackedWidget->setCurrentIndex(m_settings.value(SettingsKeys::kMainWindowStackIndex, 0).toInt());
    restoreGeometry(m_settings.value(SettingsKeys::kMainWindowGeometry).toByteArray());

    setupDebugActions();
    setupPowerAndDials();

    m_mainAccumulator->setMax(ui->mainDial->maximum());
    m_multiAccumulator->setMax(ui->multiDial->maximum());
    m_bpfInAccumulator->setMax(ui->bpf_in->maximum());
    m_bpfOutAccumulator->setMax(ui->bpf_out->maximum());

    settingsChanged();
    shrinkToFitSoon();

    setupFirmware();
    // Without a log file (no data folder, or the file could not be opened) there is nothing to show.
    ui->actionOpen_log_file->setEnabled(!AppPlatform::instance().logFilePath().isEmpty());
    setupSettings();
}

MainWindow::~MainWindow()
{
    // The extension's engine holds the script API and the MIDI object as its singletons; it goes before they do.
    closeExtensionView();
    m_controller->writeWord(PylonController::dc_capture_control_csr, 0);
    stopRecorder();
    m_workerThread->quit();
    m_workerThread->wait();
    m_updater.reset();
    // The labels view pixels of the worker's pool, which is gone with the worker; nothing may paint them now.
    for (RenderLabel *zone : qAsConst(m_renderZones))
        zone->setFrame(nullptr);
}

void MainWindow::workerFramePassthrough(Frame_t *f)
{
    m_status->gotDisplayData();
    // The visible zone shows f from now on and gives back the frame it showed until now.
    if (Frame_t *previous = whichLabel()->setFrame(f))
        emit buffDispose(previous);
}

RenderLabel *MainWindow::whichLabel()
{
    for (RenderLabel *zone : qAsConst(m_renderZones)) {
        if (zone->isVisible())
            return zone;
    }
    return ui->renderZone_1;
}

void MainWindow::updateAction(QString action)
{
    qInfo().noquote() << QStringLiteral("Action: ") + action;
    ui->lastActionLabel->setText(action);
}

void MainWindow::updateState(QString state)
{
    if (state != m_lastState) {
        qInfo().noquote() << QStringLiteral("State: ") + state;
        m_lastState = state;
    }
    if (state == QLatin1String("Connected"))
        m_credentialsHint.clear();
    // Without a key the controller repeats "Idle" every tick; the reason it cannot leave Idle stays in view.
    if (!m_credentialsHint.isEmpty() && state == QLatin1String("Idle"))
        ui->stateLabel->setText(state + QStringLiteral(" - ") + m_credentialsHint);
    else
        ui->stateLabel->setText(state);
}

void MainWindow::onBadCredentials(const QString &hint)
{
    m_credentialsHint = hint;
    qWarning().noquote() << QStringLiteral("Radio credentials: ") + hint;
    ui->stateLabel->setText(hint);
    m_credentials->showWithHint(hint);
}

void MainWindow::setEnables(OverallStatus::Status status)
{
    const bool active = status == OverallStatus::Active;
    // Only this window's own panel: the dialogs it owns (Peek/Poke) talk to the unit, not to the radio, and stay
    // usable whatever the radio does.
    for (QPushButton *button : findChildren<QPushButton *>()) {
        if (button->window() == this)
            button->setEnabled(active);
    }
    for (QDial *dial : findChildren<QDial *>()) {
        if (dial->window() == this)
            dial->setEnabled(active);
    }
    if (status == OverallStatus::RadioOffReady)
        ui->unit_power->setEnabled(true);
}

void MainWindow::action_FPS_triggered(QAction *action, bool checked)
{
    const int rate = action->objectName().right(2).toInt();
    if (rate <= 0)
        return;
    ui->lastActionLabel->setText(QStringLiteral("Set FPS %1").arg(rate));
    const int divisor = 60 / rate;
    qInfo().noquote() << QStringLiteral("Framerate set to %1 FPS (divisor %2).").arg(rate).arg(divisor);
    m_settings.setValue(SettingsKeys::kMainWindowFrameRate, action->objectName());
    m_controller->setFrameDivisor(uint8_t(divisor - 1));
    // Choosing the rate already in use would otherwise uncheck it and leave the menu showing no rate at all.
    if (!checked)
        action->setChecked(true);
    for (QAction *other : qAsConst(m_fpsActions)) {
        if (other != action)
            other->setChecked(false);
    }
}

void MainWindow::frontPanelButton_down(QString name, QByteArray d)
{
    ui->lastActionLabel->setText(QStringLiteral("Button Press: %1").arg(name));
    m_controller->writeInject(d);
    qInfo().noquote()
        << QStringLiteral("Inject press front panel button: %1, %2.").arg(name, QString::fromLatin1(d.toHex()));
    m_pressedAt.insert(name, m_clock->nowMs());
}

void MainWindow::frontPanelButton_up(QString name, QByteArray d)
{
    ui->lastActionLabel->setText(QStringLiteral("Button Release: %1").arg(name));
    // A release with no press on record (a form wired after its key went down) has nothing to wait for.
    const qint64 now = m_clock->nowMs();
    const qint64 held = now - m_pressedAt.value(name, now - kMinimumKeyHoldMs);
    // Only a release sooner than the minimum hold waits; at exactly the minimum it goes, or it would wait 0 ms, find
    // itself no later on a coarse clock and wait 0 ms again.
    if (held < kMinimumKeyHoldMs) {
        const int wait = int(kMinimumKeyHoldMs - held);
        qInfo().noquote() << QStringLiteral("Defer up for %1 ms").arg(wait);
        QTimer::singleShot(wait, Qt::PreciseTimer, this, [this, name, d] { frontPanelButton_up(name, d); });
        return;
    }
    m_controller->writeInject(d);
    qInfo().noquote()
        << QStringLiteral("Inject release front panel button: %1, %2.").arg(name, QString::fromLatin1(d.toHex()));
}

void MainWindow::invalidateViewport()
{
    switch (m_settings.value(SettingsKeys::kViewport, 0).toInt()) {
    case 0: ui->actionFull->trigger(); break;
    case 1: ui->actionMinimal->trigger(); break;
    case 2: ui->actionScreen_Only->trigger(); break;
    default: break;
    }
}

void MainWindow::changedViewport(int index, QWidget *active, QList<QWidget *> inactive)
{
    ui->bottomFrame->setVisible(ui->actionStatus_Bar->isChecked());
    ui->stackedWidget->setCurrentIndex(index);
    m_settings.setValue(SettingsKeys::kViewport, index);
    m_settings.setValue(SettingsKeys::kStatusBar, ui->actionStatus_Bar->isChecked());
    // A hidden page with an ignored size policy no longer props the window up to its own minimum size.
    active->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    for (QWidget *page : inactive)
        page->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    shrinkToFitSoon();
}

void MainWindow::shrinkToFitSoon()
{
    QTimer::singleShot(5, this, [this] {
        // The window's own minimum size only follows its contents when its layout next activates, which takes a
        // few posted events per level of nesting; a busy machine may not have run them yet. Until then a resize
        // below the old minimum is clamped and the window would stay at its old size.
        layout()->activate();
        resize(minimumSizeHint());
    });
}

void MainWindow::settingsChanged()
{
    ui->volume->setMaximum(Preferences::storedMaxVolume(m_settings));
}

void MainWindow::on_actionGenerate_App_Crash_triggered()
{
    qWarning().noquote() << "Generating an application crash on request";
    // Read through a volatile so the compiler cannot see the null and must emit a real store: the crash handler is
    // meant to record a genuine segmentation fault, not a trap the optimiser substituted for it.
    volatile int *volatile target = nullptr;
    *target = 0x7e57;
}

void MainWindow::on_actionOpen_log_file_triggered()
{
    const QString path = AppPlatform::instance().logFilePath();
    if (!path.isEmpty())
        AppPlatform::instance().showInFolder(path);
}

void MainWindow::on_actionConstant_Rate_Right_Dial_triggered()
{
    const bool on = ui->actionConstant_Rate_Right_Dial->isChecked();
    if (on && m_constantRateTimerId < 0) {
        m_constantRateTimerId = startTimer(kConstantRateTickMs, Qt::CoarseTimer);
    } else if (!on && m_constantRateTimerId >= 0) {
        killTimer(m_constantRateTimerId);
        m_constantRateTimerId = -1;
    }
}

void MainWindow::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_constantRateTimerId) {
        m_controller->spinMainDial(-1);
        return;
    }
    QMainWindow::timerEvent(event);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    qInfo().noquote() << QStringLiteral("Close event, save parameters to ") + m_settings.fileName();
    m_settings.setValue(SettingsKeys::kMainWindowGeometry, saveGeometry());
    m_settings.setValue(SettingsKeys::kMainWindowStackIndex, ui->stackedWidget->currentIndex());
    QMetaObject::invokeMethod(m_encoder, &encoder::shutdown, Qt::QueuedConnection);
    m_controller->writeWord(PylonController::dc_capture_control_csr, 0);
    // An open extension would keep the program running, and driving the radio, with no window left to stop it.
    // The choice to show it stays saved for the next start.
    closeExtensionView();
    if (m_extensionErrorBox)
        m_extensionErrorBox->close();
    QMainWindow::closeEvent(event);
}
