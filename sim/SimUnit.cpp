#include "SimUnit.h"

#include "ClientProvisioning.h"
#include "ControlPort.h"
#include "MdnsResponder.h"
#include "RadioAccessFile.h"
#include "link/PylonController.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace {
using R = PylonController;
constexpr uint32_t kScratchReset = 0x12345678;
constexpr uint32_t kFirmwareVersion = 0x00010003;
constexpr uint32_t kStrapping = 0x00000001;
constexpr uint64_t kUptimeClockHz = 60000000;
} // namespace

SimUnit::SimUnit(const SimOptions &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_registers[R::ctrl_scratch] = kScratchReset;
    m_registers[R::da_firmware_version] = kFirmwareVersion;
    m_registers[R::da_hardware_strapping] = kStrapping;
    m_registers[R::da_host_sense] = 0;
    m_registers[R::da_flash_crc] = options.flashCrc;
    m_registers[R::dc_capture_frame_divisor_csr] = options.divisor;
    m_uptime.start();

    FrameStreamer::Config sc;
    sc.lossPercent = options.lossPercent;
    sc.shuffle = options.shuffle;
    sc.seed = options.seed;
    sc.firstFrame = options.firstFrame;
    sc.port = options.streamPort;
    sc.stallAfterMs = int(options.stallAfter * 1000);
    m_streamer = std::make_unique<FrameStreamer>(&m_radio, sc);
    m_streamer->setDivisor(options.divisor);
    if (!options.dumpFrames.isEmpty()) {
        QDir().mkpath(options.dumpFrames);
        connect(m_streamer.get(), &FrameStreamer::frameSent, this, &SimUnit::dumpFrame);
    }

    m_keepalive.setSingleShot(true);
    m_keepalive.setInterval(int(options.keepaliveTimeout * 1000));
    connect(&m_keepalive, &QTimer::timeout, this, &SimUnit::keepaliveExpired);
    m_serial.setInterval(options.serialIntervalMs);
    connect(&m_serial, &QTimer::timeout, this, &SimUnit::serialTick);
}

SimUnit::~SimUnit() = default;

bool SimUnit::start()
{
    if (!m_options.writeRaf.isEmpty() && !RadioAccessFile::write(m_options.writeRaf, m_options.key))
        return false;
    if (m_options.provisionClient)
        ClientProvisioning::provision(m_options.key, QStringLiteral("127.0.0.1"));
    QStringList parts;
    if (m_options.control) {
        m_control = std::make_unique<ControlPort>(this);
        if (!m_control->listen(m_options.controlPort))
            return false;
        parts << QStringLiteral("control port %1").arg(m_options.controlPort);
    }
    if (m_options.mdns) {
        m_mdns = std::make_unique<MdnsResponder>();
        // A unit without mDNS is still usable by address: not fatal.
        if (m_mdns->start())
            parts << QStringLiteral("mDNS %1").arg(m_mdns->hostname());
    }
    if (!m_options.streamTo.isNull()) {
        m_streamer->start(m_options.streamTo);
        parts << QStringLiteral("streaming to %1:%2").arg(m_options.streamTo.toString()).arg(m_options.streamPort);
    }
    m_serial.start();
    qInfo().noquote() << QStringLiteral("vq6020-sim ready: %1").arg(parts.join(QStringLiteral(", ")));
    return true;
}

const QList<uint32_t> &SimUnit::reportedRegisters()
{
    static const QList<uint32_t> regs{R::da_host_sense,         R::da_flash_crc,      R::db_main_dial_encoder,
                                      R::db_multi_dial_encoder, R::db_bpf_in_encoder, R::db_bpf_out_encoder,
                                      R::dc_capture_app_handle};
    return regs;
}

bool SimUnit::isDial(uint32_t addr)
{
    return addr == R::db_main_dial_encoder || addr == R::db_multi_dial_encoder || addr == R::db_bpf_in_encoder ||
           addr == R::db_bpf_out_encoder;
}

uint32_t SimUnit::readRegister(uint32_t addr) const
{
    const uint64_t cycles = uint64_t(m_uptime.nsecsElapsed()) * (kUptimeClockHz / 1000000) / 1000;
    if (addr == R::timer0_uptime_cycles_lsp)
        return uint32_t(cycles);
    if (addr == R::timer0_uptime_cycles_msp)
        return uint32_t(cycles >> 32);
    return m_registers.value(addr, 0);
}

void SimUnit::setRegister(uint32_t addr, uint32_t value, int origin)
{
    const bool changed = m_registers.value(addr, 0) != value;
    m_registers[addr] = value;
    if (changed && reportedRegisters().contains(addr))
        emit registerReport(addr, value, origin);
}

void SimUnit::writeRegister(uint32_t addr, uint32_t value, const QHostAddress &peer, int origin)
{
    const uint32_t old = m_registers.value(addr, 0);
    switch (addr) {
    case R::dc_capture_control_csr:
        m_registers[addr] = value;
        if (value == kTransmitActivate) {
            // Each repetition keeps the stream alive; its address follows the writer.
            m_keepalive.start();
            m_streamer->start(QHostAddress(peer.toIPv4Address()));
        } else if (value == 0) {
            m_keepalive.stop();
            m_streamer->stop();
        }
        return;
    case R::dc_capture_frame_divisor_csr:
        m_registers[addr] = value;
        m_streamer->setDivisor(value);
        return;
    case R::da_pwrk_click:
        m_registers[addr] = value;
        if (value == kPowerKeyClick)
            togglePower();
        return;
    case R::db_main_dial_encoder:
    case R::db_multi_dial_encoder:
    case R::db_bpf_in_encoder:
    case R::db_bpf_out_encoder:
        setRegister(addr, value, origin);
        // The dial turns by the difference, in 32-bit wrap-around arithmetic.
        turnDial(addr, int32_t(value - old));
        return;
    case R::da_host_sense:
    case R::da_flash_crc:
    case R::da_firmware_version:
    case R::da_hardware_strapping:
        // Inputs of the unit: a write does not change what it senses.
        return;
    default: setRegister(addr, value, origin);
    }
}

void SimUnit::turnDial(uint32_t addr, int32_t delta)
{
    if (!m_radio.powered || delta == 0)
        return;
    switch (addr) {
    case R::db_main_dial_encoder: {
        const int64_t hz = int64_t(m_radio.frequencyHz) + int64_t(delta) * kMainDialStepHz;
        m_radio.frequencyHz = uint64_t(qBound<int64_t>(30000, hz, 74800000));
        break;
    }
    case R::db_multi_dial_encoder: m_radio.multiDial += delta; break;
    case R::db_bpf_in_encoder: m_radio.bpfInner += delta; break;
    case R::db_bpf_out_encoder: m_radio.bpfOuter += delta; break;
    }
}

void SimUnit::inject(const QByteArray &bytes)
{
    // A radio that is off does not listen to its front panel.
    if (!m_radio.powered)
        return;
    const QList<BusEffect> effects = applyBusBytes(m_radio, bytes);
    for (const BusEffect &e : effects) {
        if (e.kind == BusEffect::Touch || e.kind == BusEffect::TouchRelease) {
            // The radio reports touches on LTXD with Y counted from the bottom edge.
            const int x = e.kind == BusEffect::Touch ? e.point.x() : 9999;
            const int rawY = e.kind == BusEffect::Touch ? 272 - e.point.y() : 9999;
            QByteArray report("\xFE\x13\x00", 3);
            report.append(char(x >> 8)).append(char(x & 0xFF));
            report.append(char((rawY >> 8) & 0xFF)).append(char(rawY & 0xFF)).append(char(0xFD));
            emit serialBytes(true, report);
        }
    }
}

void SimUnit::togglePower()
{
    m_radio.powered = !m_radio.powered;
    qInfo().noquote() << (m_radio.powered ? QStringLiteral("Radio power on") : QStringLiteral("Radio power off"));
    // Host sense reads 1 while the radio is off.
    setRegister(R::da_host_sense, m_radio.powered ? 0 : 1, kUnitOrigin);
    if (!m_radio.powered)
        m_radio.touching = false;
}

void SimUnit::keepaliveExpired()
{
    qInfo().noquote()
        << QStringLiteral("Transmit not refreshed for %1 s, stream stopped").arg(m_options.keepaliveTimeout);
    m_streamer->stop();
}

void SimUnit::serialTick()
{
    if (!m_radio.powered)
        return;
    // The radio's idle chatter: a status poll on LRXD and its answer on LTXD.
    const char seq = char(m_serialSequence++ & 0x7F);
    emit serialBytes(false, QByteArray("\xFE\x01", 2) + seq + char(0xFD));
    emit serialBytes(true, QByteArray("\xFE\x18", 2) + seq + char(0xFD));
}

void SimUnit::dumpFrame(uint16_t frameNumber, const QByteArray &pixels)
{
    QFile f(QStringLiteral("%1/frame-%2.rgb565").arg(m_options.dumpFrames).arg(frameNumber, 5, 10, QLatin1Char('0')));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(pixels);
}

void SimUnit::restart(const QByteArray &key, uint32_t flashCrc)
{
    m_options.key = key;
    m_options.flashCrc = flashCrc;
    m_registers[R::da_flash_crc] = flashCrc;
    if (m_control)
        m_control->endAllSessions();
}
