#include "FakeUnit.h"

#include "link/Codec.h"
#include "link/RequestReader.h"
#include "link/SocketServerWrapper.h"
#include "link/SocketWrapper.h"

FakeUnit::FakeUnit(const QByteArray &key, QObject *parent)
    : QObject(parent), m_key(key), m_server(new SocketServerWrapper(this)), m_reader(std::make_unique<RequestReader>())
{
    m_clock.start();
    connect(m_server, &QTcpServer::newConnection, this, &FakeUnit::accept);
    m_reader->onRequest = [this](const Request &r) {
        m_received.append({r, m_clock.elapsed(), m_connections});
        Response resp = Response_init_zero;
        resp.counter = r.counter;
        // A read is answered whether or not it asks for an acknowledgement, as the unit does.
        if (r.which_payload == Request_read_tag) {
            resp.which_payload = Response_registerValue_tag;
            resp.payload.registerValue.addr = r.payload.read.addr;
            resp.payload.registerValue.has_data = true;
            resp.payload.registerValue.data = readValues.value(r.payload.read.addr, 0);
            sendResponse(resp);
        } else if (r.ackRequired && acknowledge) {
            resp.which_payload = Response_ack_tag;
            sendResponse(resp);
        }
        emit requestReceived();
    };
    m_reader->onCloseRequested = [this]() { dropClient(); };
}

FakeUnit::~FakeUnit() = default;

bool FakeUnit::listen(quint16 port)
{
    return m_server->listen(QHostAddress::LocalHost, port);
}

void FakeUnit::stopListening()
{
    m_server->close();
}

void FakeUnit::accept()
{
    while (m_server->hasPendingConnections()) {
        auto *socket = qobject_cast<SocketWrapper *>(m_server->nextPendingConnection());
        if (!socket)
            continue;
        // One client at a time, like the unit: a new connection replaces the old one.
        if (m_client)
            m_client->abort();
        m_client = socket;
        ++m_connections;
        m_reader->reset();
        connect(socket, &QIODevice::readyRead, this, &FakeUnit::readClient);
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        socket->tlsSetup(m_key, false);
    }
}

void FakeUnit::readClient()
{
    auto *socket = qobject_cast<SocketWrapper *>(sender());
    if (!socket || socket != m_client)
        return;
    const QByteArray data = socket->readDecrypted();
    if (!data.isEmpty())
        m_reader->feed(data);
}

void FakeUnit::sendRaw(const QByteArray &bytes)
{
    if (m_client)
        m_client->writeEncrypted(bytes);
}

void FakeUnit::sendResponse(const Response &r)
{
    sendRaw(encodeResponse(r));
}

void FakeUnit::dropClient()
{
    if (m_client)
        m_client->abort();
}

QList<FakeUnit::Received> FakeUnit::writesTo(uint32_t addr) const
{
    QList<Received> out;
    for (const Received &r : m_received)
        if (r.request.which_payload == Request_write_tag && r.request.payload.write.addr == addr)
            out.append(r);
    return out;
}

QList<QByteArray> FakeUnit::injects() const
{
    QList<QByteArray> out;
    for (const Received &r : m_received)
        if (r.request.which_payload == Request_inject_tag)
            out.append(QByteArray(reinterpret_cast<const char *>(r.request.payload.inject.bytes),
                                  r.request.payload.inject.size));
    return out;
}
