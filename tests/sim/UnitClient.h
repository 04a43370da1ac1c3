#pragma once

#include "link/ResponseReader.h"
#include "link/SocketWrapper.h"

#include <QByteArray>
#include <QList>
#include <QObject>

// A minimal control-channel client for the simulator's tests: the client's own
// TLS socket and response reader, with every response kept for inspection.
class UnitClient : public QObject
{
    Q_OBJECT
public:
    struct Value {
        uint32_t counter;
        uint32_t addr;
        uint32_t data;
    };

    explicit UnitClient(QObject *parent = nullptr);

    // Connects to 127.0.0.1:port and waits for the TLS handshake.
    bool open(const QByteArray &key, quint16 port = 4242, int timeoutMs = 5000);
    bool isConnected() const;

    uint32_t write(uint32_t addr, uint32_t data, bool ack = true);
    uint32_t read(uint32_t addr);
    uint32_t inject(const QByteArray &bytes);

    bool waitForAck(uint32_t counter, int timeoutMs = 3000);
    // Waits for a register value for addr (any counter) that arrived after `after` values.
    bool waitForValue(uint32_t addr, uint32_t *data, int timeoutMs = 3000, int after = 0);
    bool waitForDisconnect(int timeoutMs = 3000);

    QList<uint32_t> acks() const { return m_acks; }
    QList<Value> values() const { return m_values; }
    int valueCount() const { return m_values.size(); }
    QByteArray ltxd() const { return m_ltxd; }
    QByteArray lrxd() const { return m_lrxd; }
    int badCredentials() const { return m_badCredentials; }
    void clear();
    SocketWrapper &socket() { return m_socket; }

private:
    uint32_t send(Request &r, bool ack);

    SocketWrapper m_socket;
    ResponseReader m_reader;
    uint32_t m_counter = 0;
    QList<uint32_t> m_acks;
    QList<Value> m_values;
    QByteArray m_ltxd;
    QByteArray m_lrxd;
    int m_badCredentials = 0;
};
