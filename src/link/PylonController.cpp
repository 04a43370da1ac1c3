#include "link/PylonController.h"

#include "app/Clock.h"
#include "app/SettingsKeys.h"
#include "discovery/VQ6020Locator.h"
#include "link/Codec.h"
#include "link/ResponseReader.h"
#include "link/SocketWrapper.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

namespace {

constexpr int kTickMs = 100;
constexpr int kStartDelayMs = 250;
constexpr int kNoKeyNoticeMs = 2500;
constexpr qint64 kConnectTimeoutMs = 5000;
constexpr qint64 kAckTimeoutMs = 5001;
constexpr qint64 kRefreshMs = 5000;
constexpr int kMaxInject = 32;
constexpr uint16_t kTouchReleaseCoord = 9999;
// How long the unit may take to answer for a dial: a position written longer ago no longer explains
// a report, and a position asked for longer ago is given up on.
constexpr qint64 kDialEchoWindowMs = 2000;
constexpr int kMaxDialWritesInFlight = 64;

constexpr PylonController::Register kDials[] = {
    PylonController::db_main_dial_encoder, PylonController::db_multi_dial_encoder, PylonController::db_bpf_in_encoder,
    PylonController::db_bpf_out_encoder};

bool isDial(uint32_t addr)
{
    return std::find(std::begin(kDials), std::end(kDials), addr) != std::end(kDials);
}

QString hex8(uint32_t value)
{
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0'));
}

QByteArray touchFrame(uint16_t x, uint16_t y)
{
    const char bytes[] = {char(0xFE),     char(0x13),   char(0x00),     char(x >> 8),
                          char(x & 0xFF), char(y >> 8), char(y & 0xFF), char(0xFD)};
    return QByteArray(bytes, sizeof bytes);
}

QByteArray levelFrame(uint8_t command, uint8_t value)
{
    const char bytes[] = {char(0xFE), char(command), char(value), char(0xFD)};
    return QByteArray(bytes, sizeof bytes);
}

} // namespace

PylonController::PylonController(QObject *parent, const Clock *clock)
    : QObject(parent), m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication),
      m_clock(clock ? clock : Clock::steady()), m_reader(std::make_unique<ResponseReader>())
{
    qRegisterMetaType<PylonController::Register>("PylonController::Register");
    m_stateSinceMs = m_clock->nowMs();

    m_socket = new SocketWrapper(this);
    m_locator = new VQ6020Locator(this);
    connect(m_socket, &QIODevice::readyRead, this, &PylonController::readyRead);

    m_reader->onResponse = [this](const Response &r) { handleResponse(r); };
    m_reader->onProxyFrame = [this](const ProxyFrame &f) { handleProxyFrame(f); };
    // A peer that breaks the framing cannot be resynchronised; dropping the connection lets the
    // state machine notice and start over.
    m_reader->onCloseRequested = [this]() { m_socket->abort(); };

    m_tickTimer = new QTimer(this);
    m_tickTimer->setTimerType(Qt::CoarseTimer);
    m_tickTimer->setInterval(kTickMs);
    connect(m_tickTimer, &QTimer::timeout, this, &PylonController::tick);
    QTimer::singleShot(kStartDelayMs, Qt::PreciseTimer, this, [this]() { m_tickTimer->start(); });

    connect(m_socket, &SocketWrapper::badCredentials, this, &PylonController::onSocketBadCredentials);

    if (!m_settings.contains(SettingsKeys::kNetPsk))
        QTimer::singleShot(kNoKeyNoticeMs, Qt::PreciseTimer, this,
                           [this]() { emit badCredentials(QStringLiteral("No Key Present")); });
}

PylonController::~PylonController() = default;

void PylonController::onSocketBadCredentials()
{
    // The key is known to be wrong: keeping it would only repeat the refusal on every attempt.
    m_settings.remove(SettingsKeys::kNetPsk);
    emit badCredentials(QStringLiteral("Incorrect Key Provided."));
}

bool PylonController::socketValid() const
{
    // A socket whose peer has closed stays "valid" (still open for reading what is left), so the
    // connection state decides as well; otherwise a unit that went away would only be noticed by
    // the next keep-alive's ack time-out, up to 10 s later.
    return m_socket->isValid() && m_socket->state() == QAbstractSocket::ConnectedState;
}

void PylonController::tick()
{
    if (m_state != m_prevState)
        m_prevState = m_state;
    const State next = runState(m_state);
    const bool changed = next != m_state;
    m_state = next;
    m_ackSeen = false;
    if (changed)
        m_stateSinceMs = m_clock->nowMs();
}

qint64 PylonController::timeInState() const
{
    return m_clock->nowMs() - m_stateSinceMs;
}

PylonController::State PylonController::runState(State s)
{
    switch (s) {
    case Idle:
        emit notifyUserOfState(QStringLiteral("Idle"));
        emit connected(false);
        m_connectedReported = false;
        return m_settings.contains(SettingsKeys::kNetPsk) ? StartLocate : Idle;

    case StartLocate: m_locator->find(); return Locating;

    case Locating:
        if (m_locator->isLocated()) {
            const QHostAddress address = m_locator->locatedAddress();
            emit notifyUserOfState(QStringLiteral("Connecting to %1").arg(address.toString()));
            qInfo().noquote() << QStringLiteral("Pylon is at %1, connecting...").arg(address.toString());
            // Bytes left over from an earlier connection must not be parsed as the start of this one.
            m_reader->reset();
            forgetDialPositions();
            if (m_socket->state() != QAbstractSocket::UnconnectedState)
                m_socket->abort();
            m_socket->connectToHost(address, kControlPort, QIODevice::ReadWrite);
            return Connecting;
        }
        if (m_locator->isTimedOut()) {
            emit notifyUserOfState(QStringLiteral("Locator Query Time Out"));
            qInfo().noquote() << QStringLiteral("Locator query timed out, was at %1").arg(timeInState());
            return Idle;
        }
        return Locating;

    case Connecting:
        if (m_socket->state() == QAbstractSocket::ConnectedState) {
            m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            m_socket->tlsSetup(m_settings.value(SettingsKeys::kNetPsk).toByteArray(), true);
            return SetFrameRate;
        }
        if (timeInState() <= kConnectTimeoutMs)
            return Connecting;
        emit notifyUserOfState(QStringLiteral("Connect Time Out"));
        qInfo().noquote() << QStringLiteral("Connect timed out, was at %1").arg(timeInState());
        m_socket->close();
        m_socket->abort();
        return Idle;

    case SetFrameRate:
        emit notifyUserOfState(QStringLiteral("Set FPGA FPS"));
        writeWordAck(dc_capture_frame_divisor_csr, m_frameDivisor, true);
        return WaitFrameRateAck;

    case WaitFrameRateAck: return waitForAck(WaitFrameRateAck, ActivateTransmit);

    case ActivateTransmit:
        emit notifyUserOfState(QStringLiteral("Activate FPGA Transmit"));
        writeWordAck(dc_capture_control_csr, kTransmitActivate, true);
        return WaitActivateAck;

    case WaitActivateAck: return waitForAck(WaitActivateAck, Connected);

    case Connected:
        emit notifyUserOfState(QStringLiteral("Connected"));
        if (!m_connectedReported) {
            m_connectedReported = true;
            askDialPositions();
            emit connected(true);
        }
        if (timeInState() > kRefreshMs)
            return RefreshTransmit;
        return socketValid() ? Connected : ErrorDisconnect;

    case RefreshTransmit: writeWordAck(dc_capture_control_csr, kTransmitActivate, true); return WaitRefreshAck;

    case WaitRefreshAck: return waitForAck(WaitRefreshAck, Connected);

    case ErrorDisconnect: errorDisconnect(); return Idle;
    }
    // A state outside the table can only come from memory corruption; start over.
    return ErrorDisconnect;
}

PylonController::State PylonController::waitForAck(State waiting, State success)
{
    const qint64 elapsed = timeInState();
    if (elapsed < kAckTimeoutMs)
        return m_ackSeen ? success : waiting;
    emit notifyUserOfState(QStringLiteral("Timeout waiting for Ack"));
    qInfo().noquote() << QStringLiteral("Ack timed out, was at %1. Waiting: %2, Success %3")
                             .arg(elapsed)
                             .arg(int(waiting))
                             .arg(int(success));
    return ErrorDisconnect;
}

void PylonController::errorDisconnect()
{
    emit notifyUserOfState(QStringLiteral("Error - Disconnect"));
    qInfo().noquote() << QStringLiteral("Error occured. Socket state: %1, errors: %2")
                             .arg(int(m_socket->state()))
                             .arg(m_socket->errorString());
    if (m_socket->isOpen())
        m_socket->close();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
}

void PylonController::readyRead()
{
    const QByteArray data = m_socket->readDecrypted();
    if (!data.isEmpty())
        m_reader->feed(data);
}

void PylonController::handleResponse(const Response &r)
{
    switch (r.which_payload) {
    case Response_ack_tag:
        m_ackSeen = true;
        qInfo().noquote() << QStringLiteral("Got Ack for %1").arg(r.counter);
        break;
    case Response_registerValue_tag: {
        const RegisterAccess &reg = r.payload.registerValue;
        if (!reg.has_data) {
            qWarning().noquote()
                << QStringLiteral("Got unexpected empty read word response for %1").arg(hex8(reg.addr));
            break;
        }
        m_ackSeen = true;
        qInfo().noquote() << QStringLiteral("Got Read Reg for %3: %2 = %1.")
                                 .arg(hex8(reg.data), registerName(reg.addr), QString::number(r.counter));
        if (!isDial(reg.addr) || adoptDialReport(reg.addr, reg.data))
            m_registers.insert(reg.addr, reg.data);
        emit registerChanged(Register(reg.addr), reg.data);
        break;
    }
    case Response_ltxd_tag:
        emit newLtxdBytes(QByteArray(reinterpret_cast<const char *>(r.payload.ltxd.bytes), r.payload.ltxd.size));
        break;
    case Response_lrxd_tag:
        emit newLrxdBytes(QByteArray(reinterpret_cast<const char *>(r.payload.lrxd.bytes), r.payload.lrxd.size));
        break;
    default:
        // relayFrameLength: the reader already collects the frame that follows. reserved6 and
        // anything unknown carry nothing for the client.
        break;
    }
}

void PylonController::handleProxyFrame(const ProxyFrame &f)
{
    if (f.which_payload != ProxyFrame_frame_tag)
        return;
    // The reader owns the decode target and reuses it; receivers only see it during delivery.
    emit proxySentCompressedFrame(const_cast<CompressedFrameData &>(f.payload.frame));
}

void PylonController::writeRequest(Request r, bool ackRequired)
{
    if (!socketValid())
        return;
    r.ackRequired = ackRequired;
    const QByteArray framed = encodeRequest(r);
    if (framed.isEmpty())
        return;
    m_socket->writeEncrypted(framed);
}

void PylonController::writeWordAck(PylonController::Register addr, uint data, bool ack)
{
    qInfo().noquote() << QStringLiteral("Write 0x%1 to %2, counter %3.")
                             .arg(hex8(data), registerName(addr), QString::number(m_counter));
    Request r = Request_init_zero;
    r.counter = m_counter++;
    r.which_payload = Request_write_tag;
    r.payload.write.addr = uint32_t(addr);
    r.payload.write.has_data = true;
    r.payload.write.data = data;
    writeRequest(r, ack);
}

void PylonController::writeWord(PylonController::Register addr, uint data)
{
    writeWordAck(addr, data, false);
}

void PylonController::readWord(PylonController::Register addr)
{
    emit notifyUserOfState(QStringLiteral("Read register %1").arg(registerName(addr)));
    Request r = Request_init_zero;
    r.counter = m_counter++;
    r.which_payload = Request_read_tag;
    r.payload.read.addr = uint32_t(addr);
    r.payload.read.has_data = false;
    writeRequest(r, true);
}

void PylonController::setFrameDivisor(uint8_t ndivisor)
{
    m_frameDivisor = ndivisor;
    writeWordAck(dc_capture_frame_divisor_csr, ndivisor, true);
}

void PylonController::proxySignalCtrlReset()
{
    errorDisconnect();
    m_state = Idle;
    m_stateSinceMs = m_clock->nowMs();
}

void PylonController::debugKillSocket()
{
    if (socketValid())
        m_socket->abort();
}

void PylonController::writeInject(QByteArray toInject)
{
    if (toInject.size() > kMaxInject) {
        qWarning().noquote() << QStringLiteral("Inject request too big.  %1.").arg(toInject.size());
        return;
    }
    Request r = Request_init_zero;
    r.counter = m_counter++;
    r.which_payload = Request_inject_tag;
    r.payload.inject.size = pb_size_t(toInject.size());
    std::memcpy(r.payload.inject.bytes, toInject.constData(), size_t(toInject.size()));
    writeRequest(r, false);
}

void PylonController::writeInjectStr(QString toInject)
{
    QByteArray digits;
    digits.reserve(toInject.size());
    for (QChar c : toInject) {
        if (isxdigit(c.unicode() < 128 ? c.toLatin1() : 0))
            digits.append(c.toLatin1());
    }
    writeInject(QByteArray::fromHex(digits));
}

void PylonController::injectTouch(QPoint l)
{
    // Compared as unsigned so that negative coordinates fall outside the screen as well.
    if (uint(l.x()) > 480 || uint(l.y()) > 272)
        return;
    emit notifyUserOfAction(QStringLiteral("Touch Point: %1,%2").arg(l.x()).arg(l.y()));
    const QByteArray frame = touchFrame(uint16_t(l.x()), uint16_t(l.y()));
    qInfo().noquote() << QStringLiteral("Inject touch to %1,%2. Hex: %3 ")
                             .arg(l.x())
                             .arg(l.y())
                             .arg(QString::fromLatin1(frame.toHex()));
    writeInject(frame);
}

void PylonController::injectTouchRelease()
{
    emit notifyUserOfAction(QStringLiteral("Touch Release"));
    const QByteArray frame = touchFrame(kTouchReleaseCoord, kTouchReleaseCoord);
    qInfo().noquote() << QStringLiteral("Touch Release: %1.").arg(QString::fromLatin1(frame.toHex()));
    writeInject(frame);
}

void PylonController::adjustVolume(uint8_t value)
{
    emit notifyUserOfAction(QStringLiteral("Volume Set %1").arg(value));
    writeInject(levelFrame(0x1E, value));
}

void PylonController::adjustRfSql(uint8_t value)
{
    emit notifyUserOfAction(QStringLiteral("AfSql Set %1").arg(value));
    writeInject(levelFrame(0x1F, value));
}

void PylonController::spinDial(Register reg, int ticks, const char *noticeTemplate)
{
    Dial &dial = m_dials[uint32_t(reg)];
    // A unit that did not answer in time is taken to start from 0, as a fresh one does, rather than
    // leaving the dial dead for the whole connection.
    if (!dial.known && dial.askedAtMs >= 0 && m_clock->nowMs() - dial.askedAtMs > kDialEchoWindowMs)
        learnDialPosition(reg, m_registers.value(uint32_t(reg), 0));
    // 32-bit wrap-around, as the unit's counter register does.
    uint32_t position = m_registers.value(uint32_t(reg), 0) + uint32_t(ticks);
    for (int32_t held : dial.held)
        position += uint32_t(held);
    emit notifyUserOfAction(QString::fromLatin1(noticeTemplate).arg(ticks).arg(int32_t(position)));
    if (!dial.known && socketValid()) {
        // Connected, but the unit's position is not known yet: the turn waits for it.
        dial.held.append(ticks);
        return;
    }
    m_registers.insert(uint32_t(reg), position);
    if (socketValid())
        writeDial(reg, position);
}

void PylonController::learnDialPosition(Register reg, uint32_t position)
{
    // Turns made meanwhile continue from the unit's position, each as the write it would have been.
    Dial &dial = m_dials[uint32_t(reg)];
    dial.known = true;
    const QList<int32_t> held = std::exchange(dial.held, {});
    for (int32_t ticks : held) {
        position += uint32_t(ticks);
        if (socketValid())
            writeDial(reg, position);
    }
    m_registers.insert(uint32_t(reg), position);
}

void PylonController::writeDial(Register reg, uint32_t position)
{
    writeWordAck(reg, position, false);
    QList<DialWrite> &unseen = m_dials[uint32_t(reg)].unseen;
    if (unseen.size() >= kMaxDialWritesInFlight)
        unseen.removeFirst();
    unseen.append({position, m_clock->nowMs()});
}

void PylonController::forgetDialPositions()
{
    for (Register reg : kDials) {
        m_registers.remove(uint32_t(reg));
        m_dials[uint32_t(reg)] = Dial{false, {}, -1, {}};
    }
}

void PylonController::askDialPositions()
{
    // Asked once the link is up rather than during the handshake writes, where any answer would
    // count as their acknowledgement. Without an ack request: the answer itself is what we want.
    for (Register reg : kDials) {
        Dial &dial = m_dials[uint32_t(reg)];
        if (dial.known || dial.askedAtMs >= 0)
            continue;
        dial.askedAtMs = m_clock->nowMs();
        Request r = Request_init_zero;
        r.counter = m_counter++;
        r.which_payload = Request_read_tag;
        r.payload.read.addr = uint32_t(reg);
        writeRequest(r, false);
    }
}

bool PylonController::adoptDialReport(uint32_t addr, uint32_t value)
{
    Dial &dial = m_dials[addr];
    if (!dial.known) {
        learnDialPosition(Register(addr), value);
        return false;
    }
    QList<DialWrite> &unseen = dial.unseen;
    const qint64 now = m_clock->nowMs();
    while (!unseen.isEmpty() && now - unseen.first().atMs > kDialEchoWindowMs)
        unseen.removeFirst();
    for (int i = 0; i < unseen.size(); ++i) {
        if (unseen[i].position == value) {
            // The unit caught up with one of our writes; the position we hold is already past it.
            unseen.erase(unseen.begin(), unseen.begin() + i + 1);
            return false;
        }
    }
    // A value we never wrote while our writes are still on their way is the unit's state from
    // before them; the writes will replace it. With nothing on its way it is the unit's own
    // position (a read, or a change it made), and later turns continue from it.
    return unseen.isEmpty();
}

void PylonController::spinMainDial(int ticks)
{
    spinDial(db_main_dial_encoder, ticks, "Main Dial %1 (abs: %2)");
}

void PylonController::spinMultiDial(int ticks)
{
    spinDial(db_multi_dial_encoder, ticks, "Multi Dial %1 (abs: %2)");
}

void PylonController::spinBPFInDial(int ticks)
{
    spinDial(db_bpf_in_encoder, ticks, "BPF Inner Dial %1 (abs: %2)");
}

void PylonController::spinBPFOutDial(int ticks)
{
    spinDial(db_bpf_out_encoder, ticks, "BPF Outer Dial %1 (abs: %2)");
}
