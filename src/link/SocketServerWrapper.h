#pragma once

#include <QTcpServer>

// A TCP server whose pending connections are SocketWrapper objects (parented to
// the server). The owner starts TLS on each with tlsSetup(key, false).
class SocketServerWrapper : public QTcpServer
{
    Q_OBJECT
public:
    explicit SocketServerWrapper(QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr handle) override;
};
