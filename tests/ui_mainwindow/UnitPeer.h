#pragma once

#include "protocol/Messages.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>

// The far end of the control channel as the client sees a unit: a TLS-PSK server on the control port that records
// every request with its arrival time and acknowledges those that ask for it. It runs in a thread of its own, so
// arrival times are those of the wire and not of whenever the window's thread gets round to reading.
class UnitPeer : public QObject
{
    Q_OBJECT
public:
    struct Seen {
        qint64 atMs;
        Request request;
    };

    explicit UnitPeer(const QByteArray &key);
    ~UnitPeer() override;

    bool listen(quint16 port = 4242);

    QList<Seen> requests() const;
    void clear();

    // Inject payloads (front-panel bus bytes) in arrival order, and their arrival times.
    QList<QByteArray> injects() const;
    QList<qint64> injectTimes() const;
    // Values written to a register, in order.
    QList<uint32_t> writesTo(uint32_t addr) const;

    // Run the caller's event loop until enough has arrived (or the timeout).
    bool waitForInjects(int count, int timeoutMs = 3000);
    bool waitForWrites(uint32_t addr, int count, int timeoutMs = 3000);

private:
    friend class UnitPeerServer;
    void record(const Request &r);

    QThread m_thread;
    class UnitPeerServer *m_server = nullptr;
    QElapsedTimer m_clock;
    mutable QMutex m_mutex;
    QList<Seen> m_seen;
};
