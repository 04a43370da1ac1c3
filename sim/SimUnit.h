#pragma once

#include "FrameStreamer.h"
#include "RadioState.h"
#include "SimOptions.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QTimer>

#include <memory>

class ControlPort;
class MdnsResponder;

// The simulated unit: the radio it sits in, its register file, the screen
// stream, the control port and the mDNS responder, wired together.
class SimUnit : public QObject
{
    Q_OBJECT
public:
    // Register values that start, keep and stop the stream, and press the power key.
    static constexpr uint32_t kTransmitActivate = 550000000;
    static constexpr uint32_t kPowerKeyClick = 27500000;
    // Origin of a change the unit made itself (not a control connection's write).
    static constexpr int kUnitOrigin = -1;

    explicit SimUnit(const SimOptions &options, QObject *parent = nullptr);
    ~SimUnit() override;

    // Writes files, listens, starts streaming as the options say, then prints the
    // ready line. False when the control port cannot be opened.
    bool start();

    const RadioState &radio() const { return m_radio; }
    FrameStreamer &streamer() { return *m_streamer; }
    const SimOptions &options() const { return m_options; }

    uint32_t readRegister(uint32_t addr) const;
    // The unit restarted with another key or image: new handshakes use key, da_flash_crc
    // reads flashCrc, and every connection is dropped.
    void restart(const QByteArray &key, uint32_t flashCrc);
    // A control connection (origin) at peer wrote value to addr.
    void writeRegister(uint32_t addr, uint32_t value, const QHostAddress &peer, int origin);
    // Front-panel bus bytes from a control connection.
    void inject(const QByteArray &bytes);
    // Registers the unit reports on its own initiative.
    static const QList<uint32_t> &reportedRegisters();
    static bool isDial(uint32_t addr);

signals:
    // A reported register changed; every connection but the origin hears of it
    // (the writer already knows the value it wrote), except for the dials, which
    // every connection hears of, late.
    void registerReport(uint32_t addr, uint32_t value, int origin);
    // Bytes seen on the radio's serial lines.
    void serialBytes(bool ltxd, const QByteArray &bytes);

private slots:
    void keepaliveExpired();
    void serialTick();

private:
    void setRegister(uint32_t addr, uint32_t value, int origin);
    void togglePower();
    void turnDial(uint32_t addr, int32_t delta);
    void dumpFrame(uint16_t frameNumber, const QByteArray &pixels);

    SimOptions m_options;
    RadioState m_radio;
    QMap<uint32_t, uint32_t> m_registers;
    std::unique_ptr<FrameStreamer> m_streamer;
    std::unique_ptr<ControlPort> m_control;
    std::unique_ptr<MdnsResponder> m_mdns;
    QTimer m_keepalive;
    QTimer m_serial;
    QElapsedTimer m_uptime;
    uint8_t m_serialSequence = 0;
};
