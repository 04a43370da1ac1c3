// The main window's connections between the widgets of its form and the objects it owns.
#include "ui/MainWindow.h"

#include "app/SettingsKeys.h"
#include "link/LrxdDecoder.h"
#include "link/LtxdDecoder.h"
#include "maintenance/PromptCredentials.h"
#include "recording/FrameToPNG.h"
#include "recording/encoder.h"
#include "script/ScriptAPI.h"
#include "stream/FrameDecompress.h"
#include "stream/PylonWorker.h"
#include "ui/About.h"
#include "ui/FrontPanelKeys.h"
#include "ui/PeekPoke.h"
#include "ui/RenderLabel.h"
#include "ui/RotaryAccumulator.h"
#include "ui/SingalBit.h"
#include "ui_MainWindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QWheelEvent>

void MainWindow::wireControllerAndWorker()
{
    connect(m_controller, &PylonController::notifyUserOfState, this, &MainWindow::updateState);
    connect(m_controller, &PylonController::notifyUserOfAction, this, &MainWindow::updateAction);
    connect(m_controller, &PylonController::newLtxdBytes, m_ltxdDecoder, &LtxdDecoder::newData);
    connect(m_controller, &PylonController::newLrxdBytes, m_lrxdDecoder, &LrxdDecoder::newData);
    connect(m_controller, &PylonController::newLtxdBytes, m_status, &OverallStatus::gotSerialData);
    connect(m_controller, &PylonController::newLrxdBytes, m_status, &OverallStatus::gotSerialData);
    connect(m_controller, &PylonController::connected, m_status, &OverallStatus::connectionState);
    connect(m_controller, &PylonController::registerChanged, m_status, &OverallStatus::gotUpdatedRegister);
    connect(m_controller, &PylonController::registerChanged, m_peekPoke, &PeekPoke::newData);
    connect(m_controller, &PylonController::badCredentials, this, &MainWindow::onBadCredentials);

    // The frame chain: display, recorder (in its own thread), bit test, script API (which keeps the newest frame
    // for pixel queries), PNG writer, back to the producers. Each stage passes every frame on exactly once; the
    // worker and the decompressor each take back only frames of their own pool.
    m_decompressor = new FrameDecompress(this);
    connect(m_worker, &PylonWorker::newFrame, this, &MainWindow::workerFramePassthrough);
    connect(m_decompressor, &FrameDecompress::newFrame, this, &MainWindow::workerFramePassthrough);
    connect(this, &MainWindow::buffDispose, m_encoder, &encoder::newBuff);
    connect(m_encoder, &encoder::buffDispose, m_bitTest, &SingalBit::newBuff);
    connect(m_bitTest, &SingalBit::buffDispose, m_scriptApi, &ScriptAPI::newBuff);
    connect(m_scriptApi, &ScriptAPI::buffDispose, m_frameToPng, &FrameToPNG::newBuff);
    connect(m_frameToPng, &FrameToPNG::buffDispose, m_worker, &PylonWorker::buffDispose);
    connect(m_frameToPng, &FrameToPNG::buffDispose, m_decompressor, &FrameDecompress::buffDispose);
    // The record the controller hands over is valid only while its signal is delivered.
    connect(m_controller, &PylonController::proxySentCompressedFrame, m_decompressor, &FrameDecompress::newCFrame,
            Qt::DirectConnection);
    // Queued: the mismatch is found while the controller is still parsing what its socket delivered, and the
    // disconnect must not pull the socket away underneath that.
    connect(m_decompressor, &FrameDecompress::needCtxReset, m_controller, &PylonController::proxySignalCtrlReset,
            Qt::QueuedConnection);

    connect(m_scriptApi, &ScriptAPI::injectData, m_controller, &PylonController::writeInject);
    connect(m_scriptApi, &ScriptAPI::injectTouch, m_controller, &PylonController::injectTouch);
    connect(m_scriptApi, &ScriptAPI::injectTouchRelease, m_controller, &PylonController::injectTouchRelease);
    connect(m_scriptApi, &ScriptAPI::injectMultiDial, m_controller, &PylonController::spinMultiDial);

    connect(m_peekPoke, &PeekPoke::peek, m_controller, &PylonController::readWord);
    connect(m_peekPoke, &PeekPoke::poke, m_controller, &PylonController::writeWord);

    connect(ui->actionPeek_Poke, &QAction::triggered, m_peekPoke, &QWidget::show);
    connect(ui->actionRGB_16_Signal_Bit_Test, &QAction::triggered, m_bitTest, &QWidget::show);
    connect(ui->actionAbout, &QAction::triggered, m_about, &QWidget::show);
    connect(ui->actionSet_Username_Password, &QAction::triggered, m_credentials, &PromptCredentials::showPlain);
    connect(ui->actionClose_Socket_Unexpectedly, &QAction::triggered, m_controller, &PylonController::debugKillSocket);
}

void MainWindow::setupFrameRateActions()
{
    const QString saved =
        m_settings.value(SettingsKeys::kMainWindowFrameRate, QStringLiteral("actionFPS_30")).toString();
    m_fpsActions = findChildren<QAction *>(QRegularExpression(QStringLiteral("actionFPS\\_(\\d+)")));
    for (QAction *action : qAsConst(m_fpsActions)) {
        connect(action, &QAction::triggered, this,
                [this, action](bool checked) { action_FPS_triggered(action, checked); });
        if (action->objectName() == saved)
            action->trigger();
    }
}

void MainWindow::setupRenderZones()
{
    m_renderZones = findChildren<RenderLabel *>(QRegularExpression(QStringLiteral("renderZone\\_(\\d+)")));
    for (RenderLabel *zone : qAsConst(m_renderZones)) {
        connect(zone, &RenderLabel::touch, m_controller, &PylonController::injectTouch);
        connect(zone, &RenderLabel::release, m_controller, &PylonController::injectTouchRelease);
        connect(m_status, &OverallStatus::notifyChange, zone, &RenderLabel::changedStatus);
        connect(ui->actionStats_for_Nerds, &QAction::toggled, zone, &RenderLabel::showStats);
        // The wheel over the picture turns the main dial as if it had been turned over the dial itself. The label
        // emits synchronously and keeps its event, so the dial gets a copy through the event queue.
        connect(
            zone, &RenderLabel::wheeld, this,
            [this](QWheelEvent *event) { QCoreApplication::postEvent(ui->mainDial, new QWheelEvent(*event)); },
            Qt::DirectConnection);
        zone->setAutoFillBackground(false);
        zone->setAttribute(Qt::WA_NoSystemBackground);
    }
}

void MainWindow::wireFrontPanelButtons(QWidget *root)
{
    const QRegularExpression keyName(QStringLiteral("fpb.+"));
    for (QPushButton *button : root->findChildren<QPushButton *>(keyName)) {
        const FrontPanelKey key = FrontPanelKey::fromObjectName(button->objectName());
        if (!key.valid) {
            qInfo().noquote() << QStringLiteral("Button '%1' is setup wrong").arg(button->objectName());
            continue;
        }
        connect(button, &QPushButton::pressed, this, [this, key] { frontPanelButton_down(key.name, key.press); });
        connect(button, &QPushButton::released, this, [this, key] { frontPanelButton_up(key.name, key.release); });
    }
}

void MainWindow::setupViews()
{
    connect(ui->actionFull, &QAction::triggered, this, [this] {
        changedViewport(0, ui->page_all, {ui->page_minimal, ui->page_screen});
    });
    connect(ui->actionMinimal, &QAction::triggered, this, [this] {
        changedViewport(1, ui->page_minimal, {ui->page_all, ui->page_screen});
    });
    connect(ui->actionScreen_Only, &QAction::triggered, this, [this] {
        changedViewport(2, ui->page_screen, {ui->page_all, ui->page_minimal});
    });

    ui->actionStatus_Bar->setChecked(m_settings.value(SettingsKeys::kStatusBar, false).toBool());
    connect(ui->actionStatus_Bar, &QAction::triggered, this, &MainWindow::invalidateViewport);
    invalidateViewport();
}

void MainWindow::setupDebugActions()
{
    struct DebugWrite {
        QAction *action;
        PylonController::Register reg;
        uint value;
        const char *text;
    };
    const DebugWrite writes[] = {
        {ui->actionInhibit_Transmit, PylonController::dc_capture_control_csr, 0, "Tx Inhibit"},
        {ui->actionEnable_Transmit, PylonController::dc_capture_control_csr, 1, "Tx Enable"},
        {ui->actionResetSOC, PylonController::ctrl_reset, 1, "Reset SoC"},
        {ui->actionHaltSOC, PylonController::ctrl_halt, 0, "Halt SOC"},
        {ui->actionTripWd, PylonController::da_cpu_watchdog, 0, "Trip SoC Watchdog"},
    };
    for (const DebugWrite &w : writes) {
        connect(w.action, &QAction::triggered, this, [this, w] {
            m_controller->writeWord(w.reg, w.value);
            updateAction(QString::fromLatin1(w.text));
        });
    }
}

void MainWindow::setupPowerAndDials()
{
    connect(ui->unit_power, &QPushButton::pressed, this, [this] {
        m_controller->writeWord(PylonController::da_pwrk_click, kPowerKeyClick);
        ui->unit_power->setEnabled(false);
        QTimer::singleShot(kPowerLockoutMs, this, [this] { ui->unit_power->setEnabled(true); });
    });

    connect(ui->mainDial, &QDial::valueChanged, m_mainAccumulator, &RotaryAccumulator::input);
    connect(ui->multiDial, &QDial::valueChanged, m_multiAccumulator, &RotaryAccumulator::input);
    connect(ui->bpf_in, &QDial::valueChanged, m_bpfInAccumulator, &RotaryAccumulator::input);
    connect(ui->bpf_out, &QDial::valueChanged, m_bpfOutAccumulator, &RotaryAccumulator::input);
    connect(m_mainAccumulator, &RotaryAccumulator::output, m_controller, &PylonController::spinMainDial);
    connect(m_multiAccumulator, &RotaryAccumulator::output, m_controller, &PylonController::spinMultiDial);
    connect(m_bpfInAccumulator, &RotaryAccumulator::output, m_controller, &PylonController::spinBPFInDial);
    connect(m_bpfOutAccumulator, &RotaryAccumulator::output, m_controller, &PylonController::spinBPFOutDial);
    connect(ui->volume, &QDial::valueChanged, m_controller, [this](int v) { m_controller->adjustVolume(uint8_t(v)); });
    connect(ui->rfsql, &QDial::valueChanged, m_controller, [this](int v) { m_controller->adjustRfSql(uint8_t(v)); });
}
