#include "discovery/mdns/Server.h"

#include "discovery/mdns/Dns.h"
#include "discovery/TimeScale.h"

#include <QDebug>
#include <QElapsedTimer>

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QHash>
#include <QSet>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

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
    void bindSocket(QUdpSocket &socket, const QHostAddress &any, const char *family);
    // Only a socket on 5353 may send: Qt binds an unbound socket to a random port on its first
    // write, and a socket bound like that would never be bound to 5353 again.
    static bool ready(const QUdpSocket &socket)
    {
        return socket.state() == QAbstractSocket::BoundState && socket.localPort() == MdnsPort;
    }
    void readDatagrams(QUdpSocket &socket);
    void refreshInterfaces();
    bool fromLocalLink(const QNetworkDatagram &datagram);
    static QList<QNetworkInterface> multicastInterfaces();
    // Without a working selection the datagram would leave by the default route's link.
    bool selectInterface(QUdpSocket &socket, const QNetworkInterface &iface)
    {
        socket.setMulticastInterface(iface);
        if (socket.multicastInterface().index() == iface.index())
            return true;
        const bool ipv4 = &socket == &ipv4Socket;
        const int key = iface.index() * 2 + (ipv4 ? 0 : 1);
        if (!unselectable.contains(key)) {
            unselectable.insert(key);
            qWarning().noquote() << QStringLiteral("mDNS: cannot send %1 on interface %2; skipped")
                                        .arg(QLatin1String(ipv4 ? "IPv4" : "IPv6"), iface.name());
        }
        return false;
    }

    Server *q;
    QUdpSocket ipv4Socket;
    QUdpSocket ipv6Socket;
    QTimer timer;
    QSet<int> unselectable;
    // Listing the interfaces asks the kernel each time; a flood must not make us do it per
    // datagram. Refreshed with every bind check and when a datagram names an unknown one.
    QList<QNetworkInterface> sendInterfaces;
    QHash<int, QList<QNetworkAddressEntry>> linkAddresses;
    QSet<int> loopbackLinks;
    QElapsedTimer interfacesAge;
};

void ServerPrivate::refreshInterfaces()
{
    sendInterfaces = multicastInterfaces();
    linkAddresses.clear();
    loopbackLinks.clear();
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        linkAddresses.insert(iface.index(), iface.addressEntries());
        if (iface.flags() & QNetworkInterface::IsLoopBack)
            loopbackLinks.insert(iface.index());
    }
    interfacesAge.start();
}

bool ServerPrivate::fromLocalLink(const QNetworkDatagram &datagram)
{
    // Only a sender on the link can send with the highest hop limit intact.
    if (datagram.hopLimit() == 255)
        return true;
    const int index = int(datagram.interfaceIndex());
    if (index > 0 && !linkAddresses.contains(index) && interfacesAge.elapsed() > 1000)
        refreshInterfaces();
    const QHostAddress sender = datagram.senderAddress();
    const auto onSubnet = [&sender](const QList<QNetworkAddressEntry> &entries) {
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == sender.protocol() && sender.isInSubnet(entry.ip(), entry.prefixLength()))
                return true;
        }
        return false;
    };
    // A sender on a host whose only multicast route is the loopback interface may leave its source
    // unspecified; arriving on loopback, that can only be this machine.
    const bool unspecified =
        sender == QHostAddress(QHostAddress::AnyIPv4) || sender == QHostAddress(QHostAddress::AnyIPv6);
    if (unspecified && index > 0 && loopbackLinks.contains(index))
        return true;
    if (index > 0)
        return onSubnet(linkAddresses.value(index));
    for (const QList<QNetworkAddressEntry> &entries : qAsConst(linkAddresses)) {
        if (onSubnet(entries))
            return true;
    }
    return false;
}

QList<QNetworkInterface> ServerPrivate::multicastInterfaces()
{
    QList<QNetworkInterface> result;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    const auto wanted = QNetworkInterface::CanMulticast | QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    for (const QNetworkInterface &iface : all) {
        if ((iface.flags() & wanted) == wanted)
            result.append(iface);
    }
    return result;
}

void ServerPrivate::bindSocket(QUdpSocket &socket, const QHostAddress &any, const char *family)
{
    if (ready(socket))
        return;
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.abort();
    const QAbstractSocket::BindMode mode = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    if (socket.bind(any, MdnsPort, mode))
        return;
    const QString text = socket.errorString();
    // Drop the half-made socket so that the next try starts clean.
    socket.abort();
    qWarning().noquote() << QStringLiteral("mDNS: cannot bind %1 port %2: %3; next try in %4 s")
                                .arg(QLatin1String(family))
                                .arg(MdnsPort)
                                .arg(text)
                                .arg(kRecheckMs / 1000);
    emit q->error(text);
}

void ServerPrivate::bindSockets()
{
    bindSocket(ipv4Socket, QHostAddress::AnyIPv4, "IPv4");
    bindSocket(ipv6Socket, QHostAddress::AnyIPv6, "IPv6");
    refreshInterfaces();
    const bool ipv4Bound = ready(ipv4Socket);
    const bool ipv6Bound = ready(ipv6Socket);
    if (ipv4Bound || ipv6Bound) {
        // Joining twice on the same interface fails harmlessly, so every pass
        // simply tries them all.
        for (const QNetworkInterface &iface : qAsConst(sendInterfaces)) {
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
        // Anything from beyond the local link, or that does not decode, is dropped whole and silently.
        if (!datagram.isValid() || !fromLocalLink(datagram) || !decodeMessage(datagram.data(), message))
            continue;
        message.setAddress(datagram.senderAddress());
        message.setPort(quint16(datagram.senderPort()));
        message.setInterfaceIndex(int(datagram.interfaceIndex()));
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
    for (QUdpSocket *socket : {&d->ipv4Socket, &d->ipv6Socket}) {
        const char *family = socket == &d->ipv4Socket ? "IPv4" : "IPv6";
        // A send that fails on one interface fails again on every later send; say it once a minute.
        auto last = std::make_shared<QPair<QString, QElapsedTimer>>();
        connect(socket, &QUdpSocket::errorOccurred, this, [socket, family, last]() {
            const QString text = socket->errorString();
            if (text == last->first && last->second.isValid() && last->second.elapsed() < kRecheckMs)
                return;
            last->first = text;
            last->second.start();
            qWarning().noquote() << QStringLiteral("mDNS: %1 socket error: %2").arg(QLatin1String(family), text);
        });
    }
    d->bindSockets();
}

Server::~Server() = default;

void Server::sendTo(const Message &message)
{
    QUdpSocket &socket = message.address().protocol() == QAbstractSocket::IPv4Protocol ? d->ipv4Socket : d->ipv6Socket;
    if (!ServerPrivate::ready(socket))
        return;
    for (const Message &part : splitMessage(message))
        socket.writeDatagram(encodeMessage(part), message.address(), message.port());
}

void Server::setTimeScale(double speed)
{
    d->timer.setInterval(scaledInterval(kRecheckMs, speed));
    if (d->timer.isActive())
        d->timer.start();
}

void Server::sendToGroups(const Message &message)
{
    QList<QByteArray> packets;
    for (const Message &part : splitMessage(message))
        packets.append(encodeMessage(part));
    const bool ipv4 = ServerPrivate::ready(d->ipv4Socket);
    const bool ipv6 = ServerPrivate::ready(d->ipv6Socket);
    if (!ipv4 && !ipv6)
        return;
    for (const QNetworkInterface &iface : qAsConst(d->sendInterfaces)) {
        // An answer goes back only to the link its question came from.
        if (message.interfaceIndex() > 0 && iface.index() != message.interfaceIndex())
            continue;
        if (ipv4 && d->selectInterface(d->ipv4Socket, iface)) {
            for (const QByteArray &packet : qAsConst(packets))
                d->ipv4Socket.writeDatagram(packet, MdnsIpv4Address, MdnsPort);
        }
        if (ipv6 && d->selectInterface(d->ipv6Socket, iface)) {
            for (const QByteArray &packet : qAsConst(packets))
                d->ipv6Socket.writeDatagram(packet, MdnsIpv6Address, MdnsPort);
        }
    }
}

} // namespace QMdnsEngine
