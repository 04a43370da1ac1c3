#pragma once

#include "protocol/Messages.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPoint>
#include <QSettings>
#include <QString>

#include <cstdint>
#include <memory>

class Clock;
class QTimer;
class ResponseReader;
class SocketWrapper;
class VQ6020Locator;

// Owns the control connection to the unit (or a relay standing in for it): finds it, connects,
// authenticates, programs the frame rate, keeps the stream switched on, and falls back to Idle
// (and so to a fresh attempt) after any failure. Also the one place that turns front-panel input
// into bytes for the unit.
class PylonController : public QObject
{
    Q_OBJECT
public:
    // The unit's 32-bit registers, by byte address on its control bus.
    enum Register : uint32_t {
        ctrl_reset = 0xF0000000,
        ctrl_halt = 0xF0000001,
        ctrl_scratch = 0xF0000004,
        ctrl_bus_errors = 0xF0000008,
        da_hardware_strapping = 0xF0000800,
        da_firmware_version = 0xF0000804,
        da_host_sense = 0xF0000808,
        da_pwrk_click = 0xF000080C,
        da_cpu_watchdog = 0xF0000810,
        da_flash_crc = 0xF0000814,
        db_main_dial_encoder = 0xF0001000,
        db_multi_dial_encoder = 0xF0001004,
        db_bpf_in_encoder = 0xF0001008,
        db_bpf_out_encoder = 0xF000100C,
        dc_capture_control_csr = 0xF0001800,
        dc_capture_frame_divisor_csr = 0xF0001804,
        dc_capture_app_handle = 0xF0001808,
        timer0_load = 0xF0006000,
        timer0_reload = 0xF0006004,
        timer0_en = 0xF0006008,
        timer0_update_value = 0xF000600C,
        timer0_value = 0xF0006010,
        timer0_ev_status = 0xF0006014,
        timer0_ev_pending = 0xF0006018,
        timer0_ev_enable = 0xF000601C,
        timer0_uptime_latch = 0xF0006020,
        timer0_uptime_cycles_msp = 0xF0006024,
        timer0_uptime_cycles_lsp = 0xF0006028,
    };
    Q_ENUM(Register)

    // Positions of the connection state machine, in their fixed numeric order.
    enum State : int {
        Idle = 0,
        StartLocate,
        Locating,
        Connecting,
        SetFrameRate,
        WaitFrameRateAck,
        ActivateTransmit,
        WaitActivateAck,
        Connected,
        RefreshTransmit,
        WaitRefreshAck,
        ErrorDisconnect,
    };
    Q_ENUM(State)

    // The value that switches the unit's stream on; rewritten every 5 s as a keep-alive.
    static constexpr uint32_t kTransmitActivate = 550000000;
    static constexpr quint16 kControlPort = 4242;

    // clock: where time in state is read (the system's monotonic clock unless a test moves it).
    explicit PylonController(QObject *parent = nullptr, const Clock *clock = nullptr);
    ~PylonController() override;

    // Enumerator name of a register ("da_host_sense"), or the address in hex.
    static QString registerName(uint32_t addr);

    State state() const { return m_state; }
    uint8_t frameDivisor() const { return m_frameDivisor; }
    // Last value written to or read from a register; 0 when never seen.
    uint32_t mirroredRegister(Register addr) const { return m_registers.value(uint32_t(addr), 0); }

public slots:
    void readWord(PylonController::Register addr);
    void writeWord(PylonController::Register addr, uint data);
    void writeWordAck(PylonController::Register addr, uint data, bool ack);
    void writeRequest(Request r, bool ackRequired = false);
    void setFrameDivisor(uint8_t ndivisor);
    void proxySignalCtrlReset();
    void debugKillSocket();

    // Front-panel injection.
    void injectTouch(QPoint l);
    void injectTouchRelease();
    void spinMultiDial(int ticks);
    void spinMainDial(int ticks);
    void spinBPFInDial(int ticks);
    void spinBPFOutDial(int ticks);
    void adjustVolume(uint8_t value);
    void adjustRfSql(uint8_t value);
    void writeInjectStr(QString toInject);
    void writeInject(QByteArray toInject);

signals:
    void connected(bool isConnected);
    void notifyUserOfState(QString state);
    void notifyUserOfAction(QString action);
    void newLrxdBytes(QByteArray bytes);
    void newLtxdBytes(QByteArray bytes);
    void registerChanged(PylonController::Register addr, uint data);
    void badCredentials(QString hint);
    void proxySentCompressedFrame(CompressedFrameData &f);

private slots:
    void readyRead();

private:
    void tick();
    State runState(State s);
    State waitForAck(State waiting, State success);
    void errorDisconnect();
    bool socketValid() const;
    void spinDial(Register reg, int ticks, const char *noticeTemplate);
    void handleResponse(const Response &r);
    void handleProxyFrame(const ProxyFrame &f);
    void onSocketBadCredentials();
    qint64 timeInState() const;
    void forgetDialPositions();
    void askDialPositions();
    void writeDial(Register reg, uint32_t position);
    void learnDialPosition(Register reg, uint32_t position);
    bool adoptDialReport(uint32_t addr, uint32_t value);

    SocketWrapper *m_socket = nullptr;
    VQ6020Locator *m_locator = nullptr;
    QSettings m_settings;
    QTimer *m_tickTimer = nullptr;
    State m_state = Idle;
    State m_prevState = Idle;
    const Clock *m_clock;
    qint64 m_stateSinceMs = 0;
    bool m_ackSeen = false;
    bool m_connectedReported = false;
    uint8_t m_frameDivisor = 0;
    uint32_t m_counter = 0;
    QMap<uint32_t, uint32_t> m_registers;
    // What the controller knows of each dial beyond its mirrored position. The unit turns a dial by
    // the difference between the position written and the one it holds, so a write must start from
    // the unit's own position: learnt afresh on every connection (the unit may have restarted, or
    // may not have), and never rewound by a late report of a position already turned past.
    struct DialWrite {
        uint32_t position;
        qint64 atMs;
    };
    struct Dial {
        bool known = true;       // the mirror holds the unit's position (a fresh dial starts at 0)
        QList<int32_t> held;     // turns waiting for the unit's position, each sent as its own write
        qint64 askedAtMs = -1;   // when the position was asked for on this connection
        QList<DialWrite> unseen; // positions written that the unit has not reported back, oldest first
    };
    QMap<uint32_t, Dial> m_dials;
    std::unique_ptr<ResponseReader> m_reader;
};

Q_DECLARE_METATYPE(PylonController::Register)
