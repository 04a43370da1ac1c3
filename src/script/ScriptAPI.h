#pragma once

#include "app/Frame.h"

#include <QColor>
#include <QJSValue>
#include <QMap>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QTimer>

// What a user's extension (a QML file) reaches as the singleton IC7300: front-panel keys, touches, the dials, the
// colour of a screen pixel, a coarse clock and callbacks scheduled on it. The main window owns the one instance
// whose signals reach the radio; instances a script creates itself (to name the enumerations) reach nothing.
class ScriptAPI : public QObject
{
    Q_OBJECT
public:
    // Each value is the key's 16-bit front-panel code.
    enum FrontPanelButton {
        FPB_NB = 0x0E04,
        FPB_Notch = 0x0E02,
        FPB_NR = 0x0E08,
        FPB_PAmpAtt = 0x0E01,
        FPB_Transmit = 0x0D01,
        FPB_Tune = 0x0D02,
        FPB_VoxBkIn = 0x0D04,
        FPB_Menu = 0x0D08,
        FPB_Function = 0x0D10,
        FPB_MScope = 0x0D20,
        FPB_Quick = 0x0D40,
        FPB_Exit = 0x0E10,
        FPB_Clear = 0x0F40,
        FPB_Multi = 0x1004,
        FPB_MDown = 0x0F08,
        FPB_AB = 0x0F01,
        FPB_Split = 0x0F80,
        FPB_MPad = 0x0E80,
        FPB_RIT = 0x0F10,
        FPB_VM = 0x0F02,
        FPB_Tuner = 0x0E20,
        FPB_DeltaTx = 0x0F20,
        FPB_MUp = 0x0F04,
        FPB_SpLock = 0x0E40,
        FPB_XFC = 0x0D80
    };
    Q_ENUM(FrontPanelButton)
    // The two encoder enumerations do not overlap, so one number names one control.
    enum RelativeEncoder { MainDial = 1, MultiDial = 2, BandPassInner = 3, BandPassOutter = 4 };
    Q_ENUM(RelativeEncoder)
    enum AbsoluteEncoder { Volume = 5, RFSql = 6 };
    Q_ENUM(AbsoluteEncoder)

    static constexpr int kTickMs = 33;
    static constexpr int kDefaultHoldMs = 100;
    // A script can neither queue callbacks without bound nor keep the GUI thread turning a dial for minutes.
    static constexpr int kMaxPendingCallbacks = 10000;
    static constexpr int kMaxAdjustTicks = 100000;

    // tickIntervalMs: the period of the script clock; 0 leaves the clock to whoever calls tick() (tests).
    explicit ScriptAPI(QObject *parent = nullptr, int tickIntervalMs = kTickMs);
    ~ScriptAPI() override;

    Q_INVOKABLE void press(ScriptAPI::FrontPanelButton button, int duration = kDefaultHoldMs);
    // From a script the point comes as a script value: Qt would turn anything that is not a point into (0, 0) and
    // touch the screen there.
    Q_INVOKABLE void touch(const QJSValue &p, int duration = kDefaultHoldMs);
    void touch(QPoint p, int duration = kDefaultHoldMs);
    Q_INVOKABLE void encoderAdjust(ScriptAPI::RelativeEncoder e, int ticks);
    Q_INVOKABLE void encoderSet(ScriptAPI::AbsoluteEncoder e, double percent);
    Q_INVOKABLE QColor pixel(QPoint p);
    Q_INVOKABLE int time() const;
    Q_INVOKABLE void schedule(int msDelay, QJSValue callback);

    int pendingCallbacks() const { return m_schedule.size(); }
    // Forgets every pending callback. A function value must not outlive its engine (even copying it then crashes),
    // so the owner calls this before it deletes the engine of the extension that scheduled them.
    void dropScheduledCallbacks();
    const Frame_t *heldFrame() const { return m_held; }
    // The frame held for pixel queries, taken out of the chain's hands (for an owner shutting the chain down).
    Frame_t *takeFrame();

    // "file:line:column: message" of an error value a script function returned or threw, or empty.
    static QString describeError(const QJSValue &result);

signals:
    void buffDispose(Frame_t *f);
    void injectData(QByteArray b);
    void injectTouch(QPoint p);
    void injectTouchRelease();
    void injectMultiDial(int ticks);
    // A scheduled callback failed; the text says where and why.
    void scriptError(QString text);

public slots:
    void newBuff(Frame_t *f);
    // One step of the script clock: runs the callbacks due now.
    void tick();

private:
    QMap<int, QString> m_relativeDials;
    QMap<int, QString> m_absoluteDials;
    Frame_t *m_held = nullptr;
    quint32 m_ticks = 0;
    QMultiMap<quint32, QJSValue> m_schedule;
    QTimer m_clock;
};
