#include "UnitPeer.h"

#include "link/Codec.h"
#include "link/RequestReader.h"
#include "link/SocketServerWrapper.h"
#include "link/SocketWrapper.h"

#include <QHostAddress>
#include <QTest>

// Lives in the peer's thread: accepts one client at a time, as the unit does, and decodes its requests.
class UnitPeerServer : public QObject
{
    Q_OBJECT
public:
    UnitPeerServer(UnitPeer *owner, const QByteArray &key) : m_owner(owner), m_key(key)
    {
        m_reader.onRequest = [this](const Request &r) {
            m_owner->record(r);
            if (r.ackRequired && m_client) {
                Response ack = Response_init_zero;
                ack.counter = r.counter;
                ack.which_payload = Response_ack_tag;
                m_client->writeEncrypted(encodeResponse(ack));
            }
        };
    }

public slots:
    bool listen(quint16 port)
    {
        m_server = new SocketServerWrapper(this);
        connect(m_server, &QTcpServer::newConnection, this, &UnitPeerServer::accept);
        return m_server->listen(QHostAddress::LocalHost, port);
    }
    void shutdown()
    {
        delete m_server;
        m_server = nullptr;
        m_client = nullptr;
    }

private:
    void accept()
    {
        while (QTcpSocket *s = m_server->nextPendingConnection()) {
            if (m_client)
                m_client->deleteLater();
            m_client = static_cast<SocketWrapper *>(s);
            m_reader.reset();
            connect(m_client, &QTcpSocket::readyRead, this, [this, s] {
                if (s == m_client)
                    m_reader.feed(m_client->readDecrypted());
            });
            m_client->tlsSetup(m_key, false);
        }
    }

    UnitPeer *m_owner;
    QByteArray m_key;
    SocketServerWrapper *m_server = nullptr;
    SocketWrapper *m_client = nullptr;
    RequestReader m_reader;
};

UnitPeer::UnitPeer(const QByteArray &key)
{
    m_clock.start();
    m_server = new UnitPeerServer(this, key);
    m_server->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("UnitPeer"));
    m_thread.start();
}

UnitPeer::~UnitPeer()
{
    QMetaObject::invokeMethod(m_server, "shutdown", Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_server;
}

bool UnitPeer::listen(quint16 port)
{
    bool ok = false;
    QMetaObject::invokeMethod(m_server, "listen", Qt::BlockingQueuedConnection, Q_RETURN_ARG(bool, ok),
                              Q_ARG(quint16, port));
    return ok;
}

void UnitPeer::record(const Request &r)
{
    QMutexLocker lock(&m_mutex);
    m_seen.append({m_clock.elapsed(), r});
}

QList<UnitPeer::Seen> UnitPeer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_seen;
}

void UnitPeer::clear()
{
    QMutexLocker lock(&m_mutex);
    m_seen.clear();
}

QList<QByteArray> UnitPeer::injects() const
{
    QList<QByteArray> out;
    for (const Seen &s : requests()) {
        if (s.request.which_payload == Request_inject_tag)
            out.append(QByteArray(reinterpret_cast<const char *>(s.request.payload.inject.bytes),
                                  int(s.request.payload.inject.size)));
    }
    return out;
}

QList<qint64> UnitPeer::injectTimes() const
{
    QList<qint64> out;
    for (const Seen &s : requests()) {
        if (s.request.which_payload == Request_inject_tag)
            out.append(s.atMs);
    }
    return out;
}

QList<uint32_t> UnitPeer::writesTo(uint32_t addr) const
{
    QList<uint32_t> out;
    for (const Seen &s : requests()) {
        if (s.request.which_payload == Request_write_tag && s.request.payload.write.addr == addr)
            out.append(s.request.payload.write.data);
    }
    return out;
}

bool UnitPeer::waitForInjects(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return injects().size() >= count; }, timeoutMs);
}

bool UnitPeer::waitForWrites(uint32_t addr, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return writesTo(addr).size() >= count; }, timeoutMs);
}

#include "UnitPeer.moc"
