#pragma once

#include "app/Clock.h"
#include "protocol/Messages.h"
#include "relay/BanTable.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QTimer>

#include <map>
#include <memory>

class OfferProxy;
class SocketServerWrapper;
class SocketWrapper;
class VQ6020Locator;

// The relay server: accepts clients on the unit's own control port with the stored
// key, finds the unit, opens a connection to it with the same key and bridges the
// decrypted bytes both ways. Besides, it writes each compressed screen frame into
// every bridged client that has seen a reset point of the stream.
class Proxy : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kPort = 4242;
    // A client must finish its handshake within this time; a silent connection only holds a slot.
    static constexpr qint64 kHandshakeTimeoutMs = 5000;
    static constexpr int kMaxUnauthenticatedPerSource = 4;
    static constexpr int kMaxUnauthenticated = 32;
    // Unsent bytes towards a client above which its video pauses, and above which it is closed.
    static constexpr qint64 kPauseVideoBytes = 1 << 20;
    static constexpr qint64 kCloseBytes = 8 << 20;
    // Connections taken on per turn of the event loop. Every accepted connection costs its TLS state (about 70 kB)
    // at once, and the ones a flood pushes out are only freed back in the event loop: taking the whole listen
    // backlog in one go would hold a thousand of them alive together.
    static constexpr int kAcceptBatch = kMaxUnauthenticated;

    explicit Proxy(QObject *parent = nullptr, const Clock *clock = Clock::steady());
    ~Proxy() override;

    // Where the unit's control port is; 4242 unless a test runs the unit elsewhere.
    void setUnitPort(quint16 port) { m_unitPort = port; }
    // Live connection records (torn-down ones are erased).
    int connectionCount() const { return int(m_connections.size()); }
    int banRecordCount() const { return m_bans.size(); }

public slots:
    void publishCFrame(CompressedFrameData *frame);

signals:
    void log(const QString &message);
    void disposeCFrame(CompressedFrameData *frame);
    void needStreamReset();

private slots:
    void setup();
    void newConnection();
    void scheduleNewConnection();
    void shuffle(int id);
    void died(int id);
    void badAuthLeft(int id);
    void badAuthRight(int id);
    void sweep();

private:
    enum State { Closed = 0, LeftHandshake = 1, FindUnit = 2, RightHandshake = 3, Bridging = 4, Teardown = 5 };

    struct Connection {
        QPointer<SocketWrapper> left;
        QPointer<SocketWrapper> right;
        QByteArray leftBuffer;  // from the client, towards the unit
        QByteArray rightBuffer; // from the unit, towards the client
        int state = LeftHandshake;
        int id = 0;
        bool streamOn = false;
        bool tornDown = false;
        bool videoPaused = false; // inside a too-slow episode
        QHostAddress peer;
        QString source; // the IPv4 address or IPv6 /64 the connection counts against
        qint64 acceptedMs = 0;
        QMetaObject::Connection locatedSubscription;
        QMetaObject::Connection timeoutSubscription;
    };

    Connection *record(int id);
    void setState(Connection &c, int state);
    void runTeardown(int id);
    void forwardToClient(Connection &c);
    // False when the client was closed for not reading.
    bool withinSendLimit(Connection &c);
    void dropSocket(SocketWrapper *socket);
    void disposeSocket(SocketWrapper *socket);
    bool admit(SocketWrapper *socket, const QHostAddress &peer, const QString &source);
    int unauthenticatedFrom(const QString &source) const;
    static QString sourceOf(const QHostAddress &address);
    QByteArray key() const;

    const Clock *m_clock;
    SocketServerWrapper *m_server;
    std::map<int, Connection> m_connections;
    BanTable m_bans;
    VQ6020Locator *m_locator;
    QSettings m_settings;
    int m_nextId = 0;
    OfferProxy *m_offer;
    QTimer m_sweep;
    bool m_newConnectionQueued = false;
    // Runs a second after the first teardown of a burst (so at most once a second).
    QTimer m_releaseMemory;
    quint16 m_unitPort = kPort;
    std::unique_ptr<ProxyFrame> m_frame;
};
