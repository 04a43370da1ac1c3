#include "discovery/mdns/Server.h"

#include "discovery/mdns/Dns.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>

namespace QMdnsEngine {

namespace {
constexpr int kRecheckMs = 60000;
// Datagrams handled per wake-up, so a flood cannot keep the event loop to itself.
constexpr int kMaxDatagramsPerWakeup = 64;
} // namespace

class ServerPrivate
{
public:
    explicit ServerPrivate(Server *q) : q(q), ipv4Socket(q), ipv6Socket(q), timer(q) {}

    void bindSockets();
    void readDatagrams(QUdpSocket &socket);
    static QList<QNetworkInterface> multicastInterfaces();

    Server *q;
    QUdpSocket ipv4Socket;
    QUdpSocket ipv6Socket;
    QTimer timer;
};

QList<QNetworkInterface> ServerPrivate::multicastInterfaces()
{
    QList<QNetworkInterface> result;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all) {
        if (iface.flags() & QNetworkInterface::CanMulticast)
            result.append(iface);
    }
    return result;
}

void ServerPrivate::bindSockets()
{
    const QAbstractSocket::BindMode mode = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    if (ipv4Socket.state() != QAbstractSocket::BoundState) {
        if (!ipv4Socket.bind(QHostAddress::AnyIPv4, MdnsPort, mode))
            emit q->error(ipv4Socket.errorString());
    }
    if (ipv6Socket.state() != QAbstractSocket::BoundState) {
        if (!ipv6Socket.bind(QHostAddress::AnyIPv6, MdnsPort, mode))
            emit q->error(ipv6Socket.errorString());
    }
    const bool ipv4Bound = ipv4Socket.state() == QAbstractSocket::BoundState;
    const bool ipv6Bound = ipv6Socket.state() == QAbstractSocket::BoundState;
    if (ipv4Bound || ipv6Bound) {
        // Joining twice on the same interface fails harmlessly, so every pass
        // simply tries them all.
        for (const QNetworkInterface &iface : multicastInterfaces()) {
            if (ipv4Bound)
                ipv4Socket.joinMulticastGroup(MdnsIpv4Address, iface);
            if (ipv6Bound)
                ipv6Socket.joinMulticastGroup(MdnsIpv6Address, iface);
        }
    }
    timer.start();
}

void ServerPrivate::readDatagrams(QUdpSocket &socket)
{
    for (int i = 0; i < kMaxDatagramsPerWakeup && socket.hasPendingDatagrams(); ++i) {
        const QNetworkDatagram datagram = socket.receiveDatagram();
        Message message;
        // Anything that does not decode is dropped whole and silently.
        if (!datagram.isValid() || !decodeMessage(datagram.data(), message))
            continue;
        message.setAddress(datagram.senderAddress());
        message.setPort(quint16(datagram.senderPort()));
        emit q->messageReceived(message);
    }
    // Whatever is left over wakes us again: the socket notifier is level-triggered.
}

Server::Server(QObject *parent) : AbstractServer(parent), d(new ServerPrivate(this))
{
    d->timer.setSingleShot(true);
    d->timer.setInterval(kRecheckMs);
    connect(&d->timer, &QTimer::timeout, this, [this]() { d->bindSockets(); });
    connect(&d->ipv4Socket, &QUdpSocket::readyRead, this, [this]() { d->readDatagrams(d->ipv4Socket); });
    connect(&d->ipv6Socket, &QUdpSocket::readyRead, this, [this]() { d->readDatagrams(d->ipv6Socket); });
    d->bindSockets();
}

Server::~Server() = default;

void Server::sendTo(const Message &message)
{
    const QByteArray packet = encodeMessage(message);
    if (message.address().protocol() == QAbstractSocket::IPv4Protocol)
        d->ipv4Socket.writeDatagram(packet, message.address(), message.port());
    else
        d->ipv6Socket.writeDatagram(packet, message.address(), message.port());
}

void Server::sendToGroups(const Message &message)
{
    const QByteArray packet = encodeMessage(message);
    for (const QNetworkInterface &iface : ServerPrivate::multicastInterfaces()) {
        d->ipv4Socket.setMulticastInterface(iface);
        d->ipv4Socket.writeDatagram(packet, MdnsIpv4Address, MdnsPort);
        d->ipv6Socket.setMulticastInterface(iface);
        d->ipv6Socket.writeDatagram(packet, MdnsIpv6Address, MdnsPort);
    }
}

} // namespace QMdnsEngine
