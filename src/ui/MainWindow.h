#pragma once

#include "app/Clock.h"
#include "app/Frame.h"
#include "link/OverallStatus.h"
#include "link/PylonController.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QSettings>
#include <QString>

#include <memory>

class About;
class LrxdDecoder;
class LtxdDecoder;
class PeekPoke;
class PylonWorker;
class QAction;
class QPushButton;
class QThread;
class RenderLabel;
class RotaryAccumulator;
class SingalBit;

namespace Ui {
class MainWindow;
}

// The remote desktop: the radio's screen, a clickable copy of its front panel, a status line and the menus. It owns
// and wires the controller, the video worker and everything else of the normal (non-relay) mode for its whole life.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // A front-panel key is held at least this long as the unit sees it, however short the click.
    static constexpr int kMinimumKeyHoldMs = 50;
    // What a press of POWER writes to da_pwrk_click, and how long the button then stays disabled.
    static constexpr uint kPowerKeyClick = 27500000;
    static constexpr int kPowerLockoutMs = 500;
    static constexpr int kConstantRateTickMs = 33;
    static constexpr int kDefaultMaxVolume = 62;

    // clock: what key hold times are measured with; tests hand in one they move by hand.
    explicit MainWindow(QWidget *parent = nullptr, const Clock *clock = Clock::steady());
    ~MainWindow() override;

    // Wires every push button under root whose object name starts with "fpb" to the front-panel key its name
    // describes; a name that describes no key is logged and left unconnected. The constructor does this for the
    // whole window; forms added later (extensions) can use it for their own keys.
    void wireFrontPanelButtons(QWidget *root);

    PylonController *controller() const { return m_controller; }
    OverallStatus *overallStatus() const { return m_status; }

signals:
    // Hands a frame the window no longer shows to the next stage of the frame chain.
    void buffDispose(Frame_t *f);

public slots:
    void workerFramePassthrough(Frame_t *f);
    void updateAction(QString action);
    void updateState(QString state);
    void setEnables(OverallStatus::Status status);
    void action_FPS_triggered(QAction *action, bool checked);
    void frontPanelButton_down(QString name, QByteArray d);
    void frontPanelButton_up(QString name, QByteArray d);
    RenderLabel *whichLabel();
    void invalidateViewport();
    void changedViewport(int index, QWidget *active, QList<QWidget *> inactive);
    void settingsChanged();

private slots:
    void on_actionGenerate_App_Crash_triggered();
    void on_actionOpen_log_file_triggered();
    void on_actionConstant_Rate_Right_Dial_triggered();

protected:
    void closeEvent(QCloseEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    void wireControllerAndWorker();
    void setupFrameRateActions();
    void setupRenderZones();
    void setupViews();
    void setupDebugActions();
    void setupPowerAndDials();
    void onBadCredentials(const QString &hint);
    void shrinkToFitSoon();

    std::unique_ptr<Ui::MainWindow> ui;
    QSettings m_settings;
    OverallStatus *m_status = nullptr;
    PeekPoke *m_peekPoke = nullptr;
    QThread *m_workerThread = nullptr;
    PylonWorker *m_worker = nullptr;
    PylonController *m_controller = nullptr;
    LtxdDecoder *m_ltxdDecoder = nullptr;
    LrxdDecoder *m_lrxdDecoder = nullptr;
    const Clock *m_clock;
    // When each front-panel key (by name) last went down: a key's release waits for its own press only.
    QHash<QString, qint64> m_pressedAt;
    QList<QAction *> m_fpsActions;
    QList<RenderLabel *> m_renderZones;
    QString m_lastState;
    QString m_credentialsHint;
    RotaryAccumulator *m_mainAccumulator = nullptr;
    RotaryAccumulator *m_multiAccumulator = nullptr;
    RotaryAccumulator *m_bpfInAccumulator = nullptr;
    RotaryAccumulator *m_bpfOutAccumulator = nullptr;
    About *m_about = nullptr;
    SingalBit *m_bitTest = nullptr;
    int m_constantRateTimerId = -1;
};
