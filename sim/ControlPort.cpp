#include "ControlPort.h"

#include "SimUnit.h"
#include "link/Codec.h"
#include "link/PylonController.h"
#include "link/SocketServerWrapper.h"
#include "link/SocketWrapper.h"

#include <QDebug>
#include <QTimer>

#include <cstring>

ControlPort::ControlPort(SimUnit *unit, QObject *parent)
    : QObject(parent), m_unit(unit), m_server(std::make_unique<SocketServerWrapper>())
{
    connect(m_server.get(), &QTcpServer::newConnection, this, &ControlPort::acceptConnections);
    connect(unit, &SimUnit::registerReport, this, &ControlPort::sendRegisterReport);
    connect(unit, &SimUnit::serialBytes, this, &ControlPort::sendSerial);
}

ControlPort::~ControlPort()
{
    for (auto &entry : m_sessions)
        if (entry.second->socket)
            entry.second->socket->disconnect(this);
    m_sessions.clear();
}

bool ControlPort::listen(quint16 port)
{
    if (!m_server->listen(QHostAddress::AnyIPv4, port)) {
        qWarning().noquote()
            << QStringLiteral("Cannot listen on control port %1: %2").arg(port).arg(m_server->errorString());
        return false;
    }
    return true;
}

void ControlPort::acceptConnections()
{
    while (QTcpSocket *pending = m_server->nextPendingConnection()) {
        auto *socket = qobject_cast<SocketWrapper *>(pending);
        if (!socket) {
            pending->deleteLater();
            continue;
        }
        auto session = std::make_unique<Session>();
        Session *s = session.get();
        s->id = m_nextId++;
        s->socket = socket;
        s->peer = socket->peerAddress();
        s->reader.onRequest = [this, s](const Request &r) { handleRequest(s, r); };
        s->reader.onCloseRequested = [s]() {
            if (s->socket)
                s->socket->abort();
        };
        m_sessions[s->id] = std::move(session);
        qInfo().noquote() << QStringLiteral("Control connection %1 from %2").arg(s->id).arg(s->peer.toString());
        const int id = s->id;
        connect(socket, &QTcpSocket::readyRead, this, [this, s]() { onReadyRead(s); });
        connect(socket, &SocketWrapper::handshakeDone, this, [this, s]() { onHandshakeDone(s); });
        // Sessions end from the event loop: a close can be signalled from inside
        // the session's own reader or the socket's error handling.
        connect(
            socket, &QTcpSocket::disconnected, this, [this, id]() { endSession(id); }, Qt::QueuedConnection);
        connect(
            socket, &QAbstractSocket::errorOccurred, this, [this, id](QAbstractSocket::SocketError) { endSession(id); },
            Qt::QueuedConnection);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket->tlsSetup(m_unit->options().key, false);
    }
}

void ControlPort::endSession(int id)
{
    auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return;
    qInfo().noquote() << QStringLiteral("Control connection %1 closed").arg(id);
    if (SocketWrapper *socket = it->second->socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_sessions.erase(it);
}

void ControlPort::onReadyRead(Session *s)
{
    if (!s->socket)
        return;
    const QByteArray plain = s->socket->readDecrypted();
    if (!plain.isEmpty())
        s->reader.feed(plain);
}

void ControlPort::onHandshakeDone(Session *s)
{
    qInfo().noquote() << QStringLiteral("Control connection %1: handshake done").arg(s->id);
    if (m_unit->options().closeAfterHandshake) {
        qInfo().noquote() << QStringLiteral("Closing control connection %1 after its handshake").arg(s->id);
        const int id = s->id;
        QTimer::singleShot(0, this, [this, id]() { endSession(id); });
        return;
    }
    // A new client learns the unit's own values at once, as it would from a
    // unit that just came up. A unit that acknowledges nothing sends nothing a
    // client could take for an acknowledgement either, so that a test of the
    // client's time-out does not depend on when the handshake completes.
    if (m_unit->options().dropAcks)
        return;
    // Dials are reported only after they were written, as the unit's polling finds them changed;
    // a client that wants their positions reads them.
    for (uint32_t addr : SimUnit::reportedRegisters())
        if (!SimUnit::isDial(addr))
            sendValue(s, 0, addr, m_unit->readRegister(addr));
}

void ControlPort::handleRequest(Session *s, const Request &r)
{
    const bool ack = r.ackRequired && !m_unit->options().dropAcks;
    switch (r.which_payload) {
    case Request_write_tag:
        if (!r.payload.write.has_data) {
            qInfo().noquote() << QStringLiteral("Write without data to %1 ignored")
                                     .arg(PylonController::registerName(r.payload.write.addr));
            break;
        }
        qInfo().noquote() << QStringLiteral("Write 0x%1 to %2, counter %3")
                                 .arg(r.payload.write.data, 8, 16, QLatin1Char('0'))
                                 .arg(PylonController::registerName(r.payload.write.addr))
                                 .arg(r.counter);
        m_unit->writeRegister(r.payload.write.addr, r.payload.write.data, s->peer, s->id);
        break;
    case Request_read_tag:
        // A read is answered with its value: that is its acknowledgement.
        sendValue(s, r.counter, r.payload.read.addr, m_unit->readRegister(r.payload.read.addr));
        return;
    case Request_inject_tag: {
        const QByteArray bytes(reinterpret_cast<const char *>(r.payload.inject.bytes), r.payload.inject.size);
        // Tests read the front-panel bus bytes the unit received from here.
        qInfo().noquote() << QStringLiteral("Inject %1").arg(QString::fromLatin1(bytes.toHex()));
        m_unit->inject(bytes);
        break;
    }
    default: break;
    }
    // The unit may have dropped the connection while handling the request.
    if (ack && s->socket) {
        Response resp = Response_init_zero;
        resp.counter = r.counter;
        resp.which_payload = Response_ack_tag;
        send(s, encodeResponse(resp));
    }
}

void ControlPort::sendValue(Session *s, uint32_t counter, uint32_t addr, uint32_t value)
{
    Response resp = Response_init_zero;
    resp.counter = counter;
    resp.which_payload = Response_registerValue_tag;
    resp.payload.registerValue.addr = addr;
    resp.payload.registerValue.has_data = true;
    resp.payload.registerValue.data = value;
    send(s, encodeResponse(resp));
}

void ControlPort::send(Session *s, const QByteArray &framed)
{
    if (framed.isEmpty() || !s->socket || s->socket->state() != QAbstractSocket::ConnectedState)
        return;
    s->socket->writeEncrypted(framed);
}

void ControlPort::sendRegisterReport(uint32_t addr, uint32_t value, int origin)
{
    if (m_unit->options().dropAcks)
        return;
    if (SimUnit::isDial(addr)) {
        // Dial positions come back from the unit's polling loop: late, and to every connection
        // including the one that wrote them, so a client sees reports of positions it has
        // already turned past.
        QTimer::singleShot(m_unit->options().reportDelayMs, this, [this, addr, value]() {
            for (auto &entry : m_sessions) {
                Session *s = entry.second.get();
                if (s->socket && s->socket->isHandshakeDone())
                    sendValue(s, 0, addr, value);
            }
        });
        return;
    }
    for (auto &entry : m_sessions) {
        Session *s = entry.second.get();
        if (s->id != origin && s->socket && s->socket->isHandshakeDone())
            sendValue(s, 0, addr, value);
    }
}

void ControlPort::sendSerial(bool ltxd, const QByteArray &bytes)
{
    for (int offset = 0; offset < bytes.size(); offset += kSerialChunk) {
        const int n = qMin(kSerialChunk, bytes.size() - offset);
        Response resp = Response_init_zero;
        resp.counter = 0;
        resp.which_payload = ltxd ? Response_ltxd_tag : Response_lrxd_tag;
        if (ltxd) {
            resp.payload.ltxd.size = pb_size_t(n);
            std::memcpy(resp.payload.ltxd.bytes, bytes.constData() + offset, size_t(n));
        } else {
            resp.payload.lrxd.size = pb_size_t(n);
            std::memcpy(resp.payload.lrxd.bytes, bytes.constData() + offset, size_t(n));
        }
        const QByteArray framed = encodeResponse(resp);
        for (auto &entry : m_sessions) {
            Session *s = entry.second.get();
            if (s->socket && s->socket->isHandshakeDone())
                send(s, framed);
        }
    }
}

void ControlPort::endAllSessions()
{
    std::vector<int> ids;
    for (const auto &entry : m_sessions)
        ids.push_back(entry.first);
    for (int id : ids)
        endSession(id);
}
