#pragma once

#include "link/Codec.h"
#include "link/ResponseReader.h"
#include "link/SocketWrapper.h"

#include <QHostAddress>
#include <QList>
#include <QTest>

// A client of the relay built from the product's own TLS socket and response reader:
// whatever the relay sends must parse as responses and frame blocks.
class RelayClient : public QObject
{
public:
    explicit RelayClient(const QByteArray &key, const QHostAddress &from = QHostAddress())
    {
        m_reader.onResponse = [this](const Response &r) { responses.append(r); };
        m_reader.onProxyFrame = [this](const ProxyFrame &f) {
            stamps.append(f.payload.frame.stamp);
            resets += f.payload.frame.has_reset && f.payload.frame.reset;
        };
        m_reader.onCloseRequested = [this] { misparsed = true; };
        QObject::connect(&socket, &QAbstractSocket::connected, this, [this, key] { socket.tlsSetup(key, true); });
        QObject::connect(&socket, &QIODevice::readyRead, this, [this] {
            if (reading)
                m_reader.feed(socket.readDecrypted());
        });
        QObject::connect(&socket, &SocketWrapper::badCredentials, this, [this] { refused = true; });
        if (!from.isNull())
            socket.bind(from);
        // A small fixed receive buffer, so a client that stops reading is felt by the relay soon.
        socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16384);
        socket.connectToHost(QHostAddress::LocalHost, 4242);
    }

    bool waitForHandshake(int ms = 5000)
    {
        return QTest::qWaitFor([this] { return socket.isHandshakeDone(); }, ms);
    }
    void send(const Request &r) { socket.writeEncrypted(encodeRequest(r)); }
    const Response *answer(uint32_t counter, pb_size_t tag) const
    {
        for (const Response &r : responses)
            if (r.counter == counter && r.which_payload == tag)
                return &r;
        return nullptr;
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }

    static Request read(uint32_t counter, uint32_t addr)
    {
        Request r = Request_init_zero;
        r.counter = counter;
        r.ackRequired = true;
        r.which_payload = Request_read_tag;
        r.payload.read.addr = addr;
        return r;
    }

    SocketWrapper socket;
    bool reading = true;
    bool misparsed = false;
    bool refused = false;
    int resets = 0;
    QList<Response> responses;
    QList<qint64> stamps;

private:
    ResponseReader m_reader;
};
