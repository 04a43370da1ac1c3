#pragma once

#include "protocol/Messages.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>

#include "link/SocketWrapper.h"

#include <memory>

class RequestReader;
class SocketServerWrapper;

// A scriptable peer on the control port, made of the same TLS layer and framing as the unit,
// so that a test sees exactly the requests the controller puts on the wire and can answer them
// (or misbehave) at will.
class FakeUnit : public QObject
{
    Q_OBJECT
public:
    struct Received {
        Request request;
        qint64 atMs;    // since the fake unit was started
        int connection; // 1 for the first accepted connection, 2 for the next, ...
    };

    explicit FakeUnit(const QByteArray &key, QObject *parent = nullptr);
    ~FakeUnit() override;

    bool listen(quint16 port = 4242);
    void stopListening();

    bool acknowledge = true;             // answer every ackRequired write with an ack
    QMap<uint32_t, uint32_t> readValues; // answers to reads; unknown addresses answer 0

    const QList<Received> &received() const { return m_received; }
    QList<Received> writesTo(uint32_t addr) const;
    QList<QByteArray> injects() const;
    int connections() const { return m_connections; }
    bool hasClient() const { return m_client != nullptr; }

    // Raw bytes straight into the decrypted stream (e.g. a bad length byte).
    void sendRaw(const QByteArray &bytes);
    void sendResponse(const Response &r);
    void dropClient();

    // Runs the event loop until pred() holds or timeoutMs passes.
    template <typename Pred> static bool waitUntil(Pred pred, int timeoutMs);

signals:
    void requestReceived();

private:
    void accept();
    void readClient();

    QByteArray m_key;
    SocketServerWrapper *m_server = nullptr;
    QPointer<SocketWrapper> m_client;
    std::unique_ptr<RequestReader> m_reader;
    QList<Received> m_received;
    QElapsedTimer m_clock;
    int m_connections = 0;
};

#include <QCoreApplication>
#include <QDeadlineTimer>

template <typename Pred> bool FakeUnit::waitUntil(Pred pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}
