#include "UnitClient.h"

#include "link/Codec.h"

#include <QTest>

#include <cstring>

UnitClient::UnitClient(QObject *parent) : QObject(parent)
{
    m_reader.onResponse = [this](const Response &r) {
        switch (r.which_payload) {
        case Response_ack_tag: m_acks << r.counter; break;
        case Response_registerValue_tag:
            m_values << Value{r.counter, r.payload.registerValue.addr, r.payload.registerValue.data};
            break;
        case Response_ltxd_tag:
            m_ltxd.append(reinterpret_cast<const char *>(r.payload.ltxd.bytes), r.payload.ltxd.size);
            break;
        case Response_lrxd_tag:
            m_lrxd.append(reinterpret_cast<const char *>(r.payload.lrxd.bytes), r.payload.lrxd.size);
            break;
        }
    };
    m_reader.onCloseRequested = [this]() { m_socket.abort(); };
    connect(&m_socket, &QTcpSocket::readyRead, this, [this]() { m_reader.feed(m_socket.readDecrypted()); });
    connect(&m_socket, &SocketWrapper::badCredentials, this, [this]() { ++m_badCredentials; });
}

bool UnitClient::open(const QByteArray &key, quint16 port, int timeoutMs)
{
    m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    if (!m_socket.waitForConnected(timeoutMs))
        return false;
    m_socket.tlsSetup(key, true);
    return QTest::qWaitFor([this]() { return m_socket.isHandshakeDone() || !isConnected(); }, timeoutMs) &&
           m_socket.isHandshakeDone();
}

bool UnitClient::isConnected() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

uint32_t UnitClient::send(Request &r, bool ack)
{
    r.counter = m_counter++;
    r.ackRequired = ack;
    m_socket.writeEncrypted(encodeRequest(r));
    return r.counter;
}

uint32_t UnitClient::write(uint32_t addr, uint32_t data, bool ack)
{
    Request r = Request_init_zero;
    r.which_payload = Request_write_tag;
    r.payload.write.addr = addr;
    r.payload.write.has_data = true;
    r.payload.write.data = data;
    return send(r, ack);
}

uint32_t UnitClient::read(uint32_t addr)
{
    Request r = Request_init_zero;
    r.which_payload = Request_read_tag;
    r.payload.read.addr = addr;
    return send(r, true);
}

uint32_t UnitClient::inject(const QByteArray &bytes)
{
    Request r = Request_init_zero;
    r.which_payload = Request_inject_tag;
    r.payload.inject.size = pb_size_t(qMin(bytes.size(), 32));
    std::memcpy(r.payload.inject.bytes, bytes.constData(), r.payload.inject.size);
    return send(r, false);
}

bool UnitClient::waitForAck(uint32_t counter, int timeoutMs)
{
    return QTest::qWaitFor([&]() { return m_acks.contains(counter); }, timeoutMs);
}

bool UnitClient::waitForValue(uint32_t addr, uint32_t *data, int timeoutMs, int after)
{
    int seen = after;
    const bool found = QTest::qWaitFor(
        [&]() {
            for (; seen < m_values.size(); ++seen)
                if (m_values.at(seen).addr == addr) {
                    if (data)
                        *data = m_values.at(seen).data;
                    return true;
                }
            return false;
        },
        timeoutMs);
    return found;
}

bool UnitClient::waitForDisconnect(int timeoutMs)
{
    return QTest::qWaitFor([this]() { return !isConnected(); }, timeoutMs);
}

void UnitClient::clear()
{
    m_acks.clear();
    m_values.clear();
    m_ltxd.clear();
    m_lrxd.clear();
}
