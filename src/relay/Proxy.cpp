#include "relay/Proxy.h"

#include "app/AppPlatform.h"
#include "app/SettingsKeys.h"
#include "app/StatsClient.h"
#include "discovery/OfferProxy.h"
#include "discovery/VQ6020Locator.h"
#include "link/Codec.h"
#include "link/SocketServerWrapper.h"
#include "link/SocketWrapper.h"

#include <QtDebug>

#include <vector>

#include <sys/socket.h>

namespace {

constexpr int kSetupDelayMs = 100;
constexpr int kSweepMs = 250;
constexpr int kListenBacklog = 1024;
constexpr int kReleaseMemoryMs = 1000;

// Length of the longest prefix of buffer made of whole length-framed responses, or -1
// when a length byte is out of range. Only whole responses go to a client, so a
// frame block written in between can never land inside one.
int wholeResponses(const QByteArray &buffer)
{
    int pos = 0;
    while (pos < buffer.size()) {
        const int length = quint8(buffer.at(pos));
        if (length > Protocol::MaxMessageSize)
            return -1;
        if (pos + 1 + length > buffer.size())
            break;
        pos += 1 + length;
    }
    return pos;
}

void nullPointer(int line)
{
    qInfo().noquote() << "Unexpected null pointer at proxy" << line;
}

} // namespace

Proxy::Proxy(QObject *parent, const Clock *clock)
    : QObject(parent), m_clock(clock), m_server(new SocketServerWrapper(this)), m_bans(clock),
      m_locator(new VQ6020Locator(this)), m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication),
      m_offer(new OfferProxy(this)), m_frame(std::make_unique<ProxyFrame>())
{
    m_locator->setProxyServerMode();
    connect(&m_sweep, &QTimer::timeout, this, &Proxy::sweep);
    m_sweep.start(kSweepMs);
    m_releaseMemory.setSingleShot(true);
    m_releaseMemory.setInterval(kReleaseMemoryMs);
    connect(&m_releaseMemory, &QTimer::timeout, this, [] { AppPlatform::releaseFreedMemory(); });
    QTimer::singleShot(kSetupDelayMs, this, &Proxy::setup);
}

Proxy::~Proxy()
{
    // Sockets must not call back into a half-destroyed relay.
    for (auto &entry : m_connections) {
        for (SocketWrapper *s : {entry.second.left.data(), entry.second.right.data()})
            if (s)
                s->disconnect(this);
    }
}

QByteArray Proxy::key() const
{
    return m_settings.value(SettingsKeys::kNetPsk).toByteArray();
}

void Proxy::setup()
{
    if (!m_settings.contains(SettingsKeys::kNetPsk)) {
        emit log(QStringLiteral("No Radio Access File Set, Setup Failed"));
        return;
    }
    const bool ok = m_server->listen(QHostAddress::Any, kPort);
    // Qt listens with a backlog of 50: under a flood of idle connections a real client's SYN would
    // wait for the kernel's retransmission (1 s, then 3 s) before the relay even saw it.
    if (ok)
        ::listen(int(m_server->socketDescriptor()), kListenBacklog);
    emit log(QStringLiteral("Server Listen: %1").arg(ok ? QStringLiteral("Ready") : QStringLiteral("Failed")));
    // The server stops accepting once this many wait to be taken, and goes on when they are.
    m_server->setMaxPendingConnections(kAcceptBatch);
    connect(m_server, &QTcpServer::newConnection, this, &Proxy::scheduleNewConnection);
    if (ok)
        m_offer->offer();
}

Proxy::Connection *Proxy::record(int id)
{
    auto it = m_connections.find(id);
    return it == m_connections.end() ? nullptr : &it->second;
}

QString Proxy::sourceOf(const QHostAddress &address)
{
    const QHostAddress a = BanTable::normalised(address);
    if (a.protocol() != QAbstractSocket::IPv6Protocol)
        return a.toString();
    // One host on IPv6 commonly holds a whole /64.
    Q_IPV6ADDR bytes = a.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

int Proxy::unauthenticatedFrom(const QString &source) const
{
    int n = 0;
    for (const auto &entry : m_connections)
        n += entry.second.state == LeftHandshake && (source.isEmpty() || entry.second.source == source);
    return n;
}

void Proxy::dropSocket(SocketWrapper *socket)
{
    socket->disconnect(this);
    socket->abort();
    disposeSocket(socket);
}

void Proxy::disposeSocket(SocketWrapper *socket)
{
    socket->deleteLater();
    // Every connection leaves its TLS state's freed memory in the heap, where the allocator keeps it: after a storm
    // of connections the relay would stay at its peak size for good.
    if (!m_releaseMemory.isActive())
        m_releaseMemory.start();
}

bool Proxy::admit(SocketWrapper *socket, const QHostAddress &peer, const QString &source)
{
    if (unauthenticatedFrom(source) >= kMaxUnauthenticatedPerSource) {
        emit log(
            QStringLiteral("Connection from %1 dropped, too many unauthenticated connections").arg(peer.toString()));
        return false;
    }
    // A flood must not lock out a client that completes its handshake quickly: the oldest waiting
    // connection makes room for the newest.
    while (unauthenticatedFrom(QString()) >= kMaxUnauthenticated) {
        int oldest = -1;
        for (const auto &entry : m_connections)
            if (entry.second.state == LeftHandshake) {
                oldest = entry.first;
                break;
            }
        Connection *c = record(oldest);
        if (!c)
            break;
        emit log(QStringLiteral("Connection #%1 - Dropped for a newer connection").arg(oldest));
        c->state = Teardown;
        shuffle(oldest);
    }
    Q_UNUSED(socket)
    return true;
}

void Proxy::scheduleNewConnection()
{
    // Taken from the event loop, not from inside the server's accept loop: there, taking each connection at once
    // lets the server accept the next, and a backlog full of connections is taken in one go before anything that
    // was dropped meanwhile can be freed.
    if (m_newConnectionQueued)
        return;
    m_newConnectionQueued = true;
    QMetaObject::invokeMethod(this, &Proxy::newConnection, Qt::QueuedConnection);
}

void Proxy::newConnection()
{
    m_newConnectionQueued = false;
    qInfo().noquote() << "New Connection.";
    while (m_server->hasPendingConnections()) {
        auto *socket = static_cast<SocketWrapper *>(m_server->nextPendingConnection());
        const QHostAddress peer = BanTable::normalised(socket->peerAddress());
        QString notice;
        const bool banned = m_bans.isBanned(peer, &notice);
        if (!notice.isEmpty())
            emit log(notice);
        const QByteArray psk = key();
        if (psk.isEmpty()) {
            emit log(QStringLiteral("Connection from %1 rejected, no stored Radio Access File").arg(peer.toString()));
            dropSocket(socket);
            continue;
        }
        if (banned) {
            dropSocket(socket);
            continue;
        }
        const QString source = sourceOf(peer);
        if (!admit(socket, peer, source)) {
            dropSocket(socket);
            continue;
        }
        qInfo().noquote() << "Setting PSK";
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket->tlsSetup(psk, false);
        const int id = m_nextId++;
        Connection &c = m_connections[id];
        c.left = socket;
        c.id = id;
        c.peer = peer;
        c.source = source;
        c.acceptedMs = m_clock->nowMs();
        emit log(QStringLiteral("Connection #%2 - Connect from %1").arg(peer.toString()).arg(id));
        connect(socket, &SocketWrapper::badCredentials, this, [this, id] { badAuthLeft(id); });
        connect(socket, &QIODevice::readyRead, this, [this, id] { shuffle(id); });
        connect(socket, &QAbstractSocket::disconnected, this, [this, id] { died(id); });
        connect(socket, &QAbstractSocket::errorOccurred, this, [this, id] { died(id); });
        c.locatedSubscription = connect(m_locator, &VQ6020Locator::located, this, [this, id] { shuffle(id); });
        c.timeoutSubscription = connect(m_locator, &VQ6020Locator::timeout, this, [this, id] { shuffle(id); });
        // The client may have sent its hello already.
        shuffle(id);
    }
}

void Proxy::setState(Connection &c, int state)
{
    c.state = state;
    // The new state's step must not wait for another event: a unit that is silent (radio off)
    // would never deliver one, and the client's first request would never leave.
    const int id = c.id;
    QMetaObject::invokeMethod(
        this, [this, id] { shuffle(id); }, Qt::QueuedConnection);
}

void Proxy::shuffle(int id)
{
    Connection *c = record(id);
    if (!c)
        return;
    // Reading or writing may close a socket, whose signals re-enter here for the same id; that
    // inner call only marks the record, and this one carries on with the new state.
    for (const bool fromLeft : {true, false}) {
        SocketWrapper *s = fromLeft ? c->left.data() : c->right.data();
        if (!s || s->state() != QAbstractSocket::ConnectedState)
            continue;
        const QByteArray bytes = s->readDecrypted();
        c = record(id);
        if (!c)
            return;
        (fromLeft ? c->leftBuffer : c->rightBuffer).append(bytes);
    }

    switch (c->state) {
    case LeftHandshake:
        if (!c->left) {
            nullPointer(149);
            setState(*c, Teardown);
        } else if (c->left->isHandshakeDone()) {
            qInfo().noquote() << "Left Handshake Complete";
            emit log(QStringLiteral("Connection #%1 - Authentication OK").arg(id));
            m_bans.clear(c->peer);
            qInfo().noquote() << "Wait for VQ6020 Location";
            emit log(QStringLiteral("Connection #%1 - Find VQ6020").arg(id));
            setState(*c, FindUnit);
            // Only authenticated clients make the relay search: a flood of silent connections
            // must not keep the network busy with lookups.
            m_locator->find();
        }
        break;
    case FindUnit:
        if (m_locator->isLocated()) {
            const QHostAddress unit = m_locator->locatedAddress();
            emit log(QStringLiteral("Connection #%1 - Found VQ6020 at %2").arg(id).arg(unit.toString()));
            qInfo().noquote() << "Found VQ6020 at " + unit.toString();
            qInfo().noquote() << "Creating right pair.";
            auto *right = new SocketWrapper(this);
            c->right = right;
            connect(right, &SocketWrapper::badCredentials, this, [this, id] { badAuthRight(id); });
            connect(right, &QAbstractSocket::connected, this, [this, id, right] {
                // Before the handshake's first record: with Nagle on, its flights of small records wait for
                // delayed acknowledgements.
                right->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                shuffle(id);
            });
            connect(right, &QIODevice::readyRead, this, [this, id] { shuffle(id); });
            connect(right, &QAbstractSocket::disconnected, this, [this, id] { died(id); });
            connect(right, &QAbstractSocket::errorOccurred, this, [this, id] { died(id); });
            emit log(QStringLiteral("Connection #%1 - VQ6020 Connecting").arg(id));
            right->connectToHost(unit, m_unitPort, QIODevice::ReadWrite);
            right->tlsSetup(key(), true);
            c = record(id); // connecting may fail at once and tear the record down
            if (c && c->state == FindUnit)
                setState(*c, RightHandshake);
        } else if (m_locator->isTimedOut()) {
            emit log(QStringLiteral("Connection #%1 - Failed to find VQ6020").arg(id));
            qInfo().noquote() << "Failed to find VQ6020 during proxy connection, closing.";
            setState(*c, Teardown);
        }
        break;
    case RightHandshake:
        if (!c->right) {
            nullPointer(197);
            setState(*c, Teardown);
            break;
        }
        c->right->flush();
        if (c->right->isHandshakeDone()) {
            emit log(QStringLiteral("Connection #%1 - VQ6020 Authentication Pass").arg(id));
            c->right->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            qInfo().noquote() << "Right Handshake Complete";
            emit log(QStringLiteral("Connection #%1 - Enabling two-way bridge traffic").arg(id));
            setState(*c, Bridging);
        }
        break;
    case Bridging:
        if (!c->left) {
            nullPointer(213);
            setState(*c, Teardown);
        } else if (!c->right) {
            nullPointer(218);
            setState(*c, Teardown);
        } else {
            forwardToClient(*c);
        }
        break;
    case Teardown: runTeardown(id); break;
    case Closed: break;
    }
}

void Proxy::forwardToClient(Connection &c)
{
    const int id = c.id;
    const int whole = wholeResponses(c.rightBuffer);
    if (whole < 0) {
        // The unit's stream cannot be cut into responses any more; the client would misparse it.
        qInfo().noquote() << QStringLiteral("Connection #%1 - bad length byte from the unit, closing").arg(id);
        c.rightBuffer.clear();
        setState(c, Teardown);
        return;
    }
    if (whole > 0) {
        c.left->writeEncrypted(c.rightBuffer.left(whole));
        c.rightBuffer.remove(0, whole);
    }
    Connection *again = record(id);
    if (!again || again->state != Bridging || !again->right)
        return;
    if (!again->leftBuffer.isEmpty()) {
        again->right->writeEncrypted(again->leftBuffer);
        again->leftBuffer.clear();
    }
    again = record(id);
    if (again && again->state == Bridging)
        withinSendLimit(*again);
}

bool Proxy::withinSendLimit(Connection &c)
{
    if (!c.left || c.left->bytesToWrite() <= kCloseBytes)
        return true;
    emit log(QStringLiteral("Connection #%1 - Client too slow, closing").arg(c.id));
    setState(c, Teardown);
    return false;
}

void Proxy::runTeardown(int id)
{
    Connection *c = record(id);
    if (!c || c->tornDown)
        return;
    c->tornDown = true;
    emit log(QStringLiteral("Connection #%1 - Teardown").arg(id));
    qInfo().noquote() << "Cleanup " + QString::number(id);
    c->state = Closed;
    disconnect(c->locatedSubscription);
    disconnect(c->timeoutSubscription);
    for (SocketWrapper *s : {c->right.data(), c->left.data()}) {
        if (!s)
            continue;
        // Late events of a socket on its way out are not ours any more.
        s->disconnect(this);
        s->close();
        disposeSocket(s);
    }
    m_connections.erase(id);
}

void Proxy::died(int id)
{
    Connection *c = record(id);
    if (!c || c->state == Teardown)
        return;
    // Sockets report their end from inside our own reads and writes; the record must outlive those calls, so the
    // teardown runs from the event loop.
    setState(*c, Teardown);
}

void Proxy::badAuthLeft(int id)
{
    emit log(QStringLiteral("Connection #%1 - Bad Radio Access File.").arg(id));
    Connection *c = record(id);
    if (!c)
        return;
    const qint64 banSeconds = m_bans.countFailure(c->peer);
    if (banSeconds > 0)
        emit log(QStringLiteral("IP Ban Host %1 for %2s").arg(c->peer.toString()).arg(banSeconds));
    if (c->state != Teardown)
        setState(*c, Teardown);
}

void Proxy::badAuthRight(int id)
{
    emit log(QStringLiteral("Connection #%1 - VQ6020 Bad Radio Access File.").arg(id));
    emit log(QStringLiteral("Remote Client, Proxy Server, and VQ6020 have a mismatched RAF."));
    emit log(QStringLiteral("Please import correct RAF and restart."));
    m_server->close();
    emit log(QStringLiteral("Server halted."));
}

void Proxy::sweep()
{
    const qint64 now = m_clock->nowMs();
    std::vector<int> expired;
    for (const auto &entry : m_connections)
        if (entry.second.state == LeftHandshake && now - entry.second.acceptedMs >= kHandshakeTimeoutMs)
            expired.push_back(entry.first);
    for (int id : expired) {
        Connection *c = record(id);
        if (!c || c->state != LeftHandshake)
            continue;
        emit log(QStringLiteral("Connection #%1 - Handshake timeout").arg(id));
        c->state = Teardown;
        shuffle(id);
    }
}

void Proxy::publishCFrame(CompressedFrameData *frame)
{
    if (!frame)
        return;
    m_frame->reserved1 = 0;
    m_frame->which_payload = ProxyFrame_frame_tag;
    m_frame->payload.frame = *frame;
    const bool resetPoint = frame->has_reset && frame->reset;
    emit disposeCFrame(frame);

    const QByteArray block = encodeProxyFrameBlock(*m_frame);
    if (block.isEmpty())
        return;
    StatsClient::compressedBytesOut(uint32_t(block.size()));

    std::vector<int> ready;
    for (const auto &entry : m_connections)
        if (entry.second.state == Bridging)
            ready.push_back(entry.first);
    for (int id : ready) {
        Connection *c = record(id);
        if (!c || c->state != Bridging || !c->left)
            continue;
        const qint64 unsent = c->left->bytesToWrite();
        if (unsent > kCloseBytes) {
            withinSendLimit(*c);
            continue;
        }
        if (unsent > kPauseVideoBytes) {
            // A client that stops reading would make the relay buffer the whole stream. Its bridged
            // bytes still go out; the video restarts at a reset point once it has caught up.
            if (!c->videoPaused)
                emit log(QStringLiteral("Connection #%1 - Client too slow, video paused").arg(id));
            c->videoPaused = true;
            c->streamOn = false;
            continue;
        }
        c->videoPaused = false;
        if (resetPoint) {
            emit log(QStringLiteral("Connection #%1 - Video Stream (re)started").arg(id));
            c->streamOn = true;
        }
        if (c->streamOn) {
            c->left->writeEncrypted(block);
            c->left->flush();
        } else {
            emit needStreamReset();
        }
    }
}
