#include "link/SocketServerWrapper.h"

#include "link/SocketWrapper.h"

#include <QtDebug>

#include <unistd.h>

SocketServerWrapper::SocketServerWrapper(QObject *parent) : QTcpServer(parent) {}

void SocketServerWrapper::incomingConnection(qintptr handle)
{
    auto *socket = new SocketWrapper(this);
    if (!socket->setSocketDescriptor(handle, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        qWarning().noquote() << "Could not adopt incoming connection: " + socket->errorString();
        delete socket;
        ::close(int(handle));
        return;
    }
    addPendingConnection(socket);
}
