#pragma once

#include "link/RequestReader.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>

#include <map>
#include <memory>

class SimUnit;
class SocketServerWrapper;
class SocketWrapper;

// The unit's control port: a TLS-PSK server that decodes framed requests, hands
// them to the unit and sends the answers, register reports and serial traffic
// back, each response within the 44 bytes a client accepts.
class ControlPort : public QObject
{
    Q_OBJECT
public:
    // Serial bytes go out in chunks small enough that every framed response,
    // whatever its counter, stays within 44 bytes.
    static constexpr int kSerialChunk = 32;

    explicit ControlPort(SimUnit *unit, QObject *parent = nullptr);
    ~ControlPort() override;

    bool listen(quint16 port);
    int sessionCount() const { return int(m_sessions.size()); }
    // Drops every connection, as a restarting unit does.
    void endAllSessions();

private slots:
    void acceptConnections();
    void sendRegisterReport(uint32_t addr, uint32_t value, int origin);
    void sendSerial(bool ltxd, const QByteArray &bytes);

private:
    struct Session {
        int id = 0;
        QPointer<SocketWrapper> socket;
        QHostAddress peer;
        RequestReader reader;
    };

    void onReadyRead(Session *s);
    void onHandshakeDone(Session *s);
    void handleRequest(Session *s, const Request &r);
    void send(Session *s, const QByteArray &framed);
    void sendValue(Session *s, uint32_t counter, uint32_t addr, uint32_t value);
    void endSession(int id);

    SimUnit *m_unit;
    std::unique_ptr<SocketServerWrapper> m_server;
    std::map<int, std::unique_ptr<Session>> m_sessions;
    int m_nextId = 1;
};
