#pragma once

#include "app/Clock.h"
#include "app/Frame.h"
#include "link/OverallStatus.h"
#include "link/PylonController.h"
#include "recording/encoder.h"
#include "script/MidiBackend.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QSettings>
#include <QString>

#include <memory>

class About;
class FrameDecompress;
class FrameToPNG;
class SaveVideo;
class Firmware;
class Midi;
class QMessageBox;
class QQuickView;
class ScriptAPI;
class ScriptWatchdog;
class LrxdDecoder;
class LtxdDecoder;
class PeekPoke;
class PromptCredentials;
class Preferences;
class Updater;
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

    // The newest extension errors the error box keeps, and how much of each line.
    static constexpr int kMaxExtensionErrors = 100;
    static constexpr int kMaxExtensionErrorChars = 300;

    // clock: what key hold times are measured with; tests hand in one they move by hand.
    // midiBackend: the MIDI input library; PortMidi when null.
    explicit MainWindow(QWidget *parent = nullptr, const Clock *clock = Clock::steady(),
                        std::unique_ptr<MidiBackend> midiBackend = nullptr);
    ~MainWindow() override;

    // Wires every push button under root whose object name starts with "fpb" to the front-panel key its name
    // describes; a name that describes no key is logged and left unconnected. The constructor does this for the
    // whole window; forms added later (extensions) can use it for their own keys.
    void wireFrontPanelButtons(QWidget *root);

    PylonController *controller() const { return m_controller; }
    OverallStatus *overallStatus() const { return m_status; }
    ScriptAPI *scriptApi() const { return m_scriptApi; }
    Midi *midi() const { return m_midi; }
    QQuickView *extensionView() const { return m_extensionView.get(); }
    PromptCredentials *credentialsDialog() const { return m_credentials; }
    FrameDecompress *decompressor() const { return m_decompressor; }
    Preferences *preferences() const { return m_preferences.get(); }
    Firmware *firmwareWindow() const { return m_firmware.get(); }

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
    void on_actionExtensions_triggered(bool checked);
    void on_actionSave_mp4_Video_triggered();
    // Locks the frame rate while a recording runs.
    void encoderStats(encoder::EncoderState state, uint framesEncoded, uint file_size, double outputBitrate,
                      double inputBitrate);

private slots:
    void on_actionGenerate_App_Crash_triggered();
    void on_actionOpen_log_file_triggered();
    void on_actionConstant_Rate_Right_Dial_triggered();

protected:
    void closeEvent(QCloseEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    void setupRecording();
    // Finishes a running recording and ends the recorder's thread; idempotent.
    void stopRecorder();
    void wireControllerAndWorker();
    void setupFrameRateActions();
    void setupRenderZones();
    void setupViews();
    void setupDebugActions();
    void setupPowerAndDials();
    void onBadCredentials(const QString &hint);
    void shrinkToFitSoon();
    void setupExtensions();
    void setupFirmware();
    void closeExtensionView();
    void loadExtension(QQuickView *view);
    // Logs one error of the extension and shows it in the error box.
    void reportExtensionError(const QString &text);
    void showExtensionProblem(const QString &line);
    void extensionBlocked();
    void setupSettings();

    std::unique_ptr<Ui::MainWindow> ui;
    QSettings m_settings;
    OverallStatus *m_status = nullptr;
    ScriptAPI *m_scriptApi = nullptr;
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
    std::unique_ptr<QQuickView> m_extensionView;
    Midi *m_midi = nullptr;
    ScriptWatchdog *m_watchdog = nullptr;
    QMessageBox *m_extensionErrorBox = nullptr;
    QStringList m_extensionErrors;
    bool m_extensionLoadFailed = false;
    bool m_extensionErrorsPending = false;
    About *m_about = nullptr;
    SingalBit *m_bitTest = nullptr;
    PromptCredentials *m_credentials = nullptr;
    int m_constantRateTimerId = -1;
    // Frames that come from a relay, compressed, instead of from the unit's video stream.
    FrameDecompress *m_decompressor = nullptr;
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<Updater> m_updater;
    QThread *m_encoderThread = nullptr;
    encoder *m_encoder = nullptr;
    SaveVideo *m_saveVideo = nullptr;
    FrameToPNG *m_frameToPng = nullptr;
    // A window of its own (no parent) for as long as this one lives; its timer runs from start-up.
    std::unique_ptr<Firmware> m_firmware;
};
