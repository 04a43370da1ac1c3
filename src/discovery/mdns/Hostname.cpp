#include "discovery/mdns/Hostname.h"

#include "discovery/mdns/AbstractServer.h"
#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Pacer.h"
#include "discovery/TimeScale.h"

#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QSysInfo>
#include <QTimer>

namespace QMdnsEngine {

namespace {
constexpr int kRegistrationMs = 2000;
constexpr int kReannounceMs = 30 * 60 * 1000;
// A responder multicasts a record at most once a second, so a question that
// follows its last answer too closely goes unanswered; asking again after that
// second (still inside the registration window) cannot miss a holder of the name.
constexpr int kRepeatQueryMs = 1100;
} // namespace

class HostnamePrivate
{
public:
    HostnamePrivate(Hostname *q, AbstractServer *server)
        : q(q), server(server), registrationTimer(q), reannounceTimer(q), repeatTimer(q)
    {
    }

    void propose();
    void sendQuery();
    void onRegistered();
    void onReannounce();
    void onMessageReceived(const Message &message);
    // The interfaces, asked from the kernel at most once a second: a flood of questions must
    // not turn into a flood of interface listings.
    const QList<QNetworkInterface> &interfaces() const
    {
        if (!interfacesAge.isValid() || interfacesAge.elapsed() > 1000) {
            interfaceList = QNetworkInterface::allInterfaces();
            interfacesAge.start();
        }
        return interfaceList;
    }
    bool ownAddress(const QHostAddress &address) const
    {
        for (const QNetworkInterface &iface : interfaces()) {
            for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
                if (entry.ip().isEqual(address))
                    return true;
            }
        }
        return false;
    }
    bool localAddress(const Message &query, QAbstractSocket::NetworkLayerProtocol family, QHostAddress &address) const;

    Hostname *q;
    AbstractServer *server;
    QByteArray hostname;
    QByteArray previous;
    int suffix = 1;
    bool registered = false;
    QTimer registrationTimer;
    QTimer reannounceTimer;
    QTimer repeatTimer;
    Pacer pacer;
    mutable QList<QNetworkInterface> interfaceList;
    mutable QElapsedTimer interfacesAge;
};

void HostnamePrivate::propose()
{
    hostname = QSysInfo::machineHostName().toUtf8();
    hostname.replace('.', '-');
    if (suffix > 1)
        hostname += '-' + QByteArray::number(suffix);
    hostname += ".local.";
    sendQuery();
    registrationTimer.start();
    repeatTimer.start();
}

void HostnamePrivate::sendQuery()
{
    Message message;
    for (quint16 type : {quint16(A), quint16(AAAA)}) {
        Query query;
        query.setName(hostname);
        query.setType(type);
        message.addQuery(query);
    }
    server->sendToGroups(message);
}

void HostnamePrivate::onRegistered()
{
    registered = true;
    reannounceTimer.start();
    if (hostname != previous)
        emit q->hostnameChanged(hostname);
    emit q->hostnameRegistered(hostname);
}

void HostnamePrivate::onReannounce()
{
    previous = hostname;
    registered = false;
    suffix = 1;
    propose();
}

namespace {
bool firstOfFamily(const QNetworkInterface &iface, QAbstractSocket::NetworkLayerProtocol family, QHostAddress &address)
{
    for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
        if (entry.ip().protocol() == family) {
            address = entry.ip();
            return true;
        }
    }
    return false;
}
} // namespace

bool HostnamePrivate::localAddress(const Message &query, QAbstractSocket::NetworkLayerProtocol family,
                                   QHostAddress &address) const
{
    const auto up = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    // The link the question came in on decides: every interface has fe80::/64, so an IPv6
    // link-local querier matches them all, and another link's address is of no use to it.
    if (query.interfaceIndex() > 0) {
        for (const QNetworkInterface &iface : interfaces()) {
            if (iface.index() == query.interfaceIndex())
                return (iface.flags() & up) == up && firstOfFamily(iface, family, address);
        }
        return false;
    }
    const QHostAddress querier = query.address();
    for (const QNetworkInterface &iface : interfaces()) {
        if ((iface.flags() & up) != up)
            continue;
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        bool sameLink = false;
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == querier.protocol() && querier.isInSubnet(entry.ip(), entry.prefixLength()))
                sameLink = true;
        }
        if (sameLink && firstOfFamily(iface, family, address))
            return true;
    }
    return false;
}

void HostnamePrivate::onMessageReceived(const Message &message)
{
    if (message.isResponse()) {
        if (registered)
            return;
        for (const Record &record : message.records()) {
            // An address of this machine is our own answer (or another responder here
            // speaking for the same machine): the same record, no conflict.
            if ((record.type() == A || record.type() == AAAA) && sameName(record.name(), hostname) &&
                !ownAddress(record.address())) {
                ++suffix;
                propose();
                return;
            }
        }
        return;
    }
    if (!registered)
        return;

    // Each type is answered once, however often a datagram asks for it.
    bool wantA = false, wantAaaa = false;
    for (const Query &query : message.queries()) {
        if (!sameName(query.name(), hostname))
            continue;
        // Other responders probe with ANY; answering it lets them see the name is taken.
        wantA = wantA || query.type() == A || query.type() == ANY;
        wantAaaa = wantAaaa || query.type() == AAAA || query.type() == ANY;
    }
    if (!wantA && !wantAaaa)
        return;
    Message reply;
    reply.reply(message);
    bool answered = false;
    const bool probe = Pacer::isProbe(message);
    {
        QList<quint16> types;
        if (wantA)
            types.append(A);
        if (wantAaaa)
            types.append(AAAA);
        for (quint16 type : qAsConst(types)) {
            QHostAddress address;
            const auto family = type == A ? QAbstractSocket::IPv4Protocol : QAbstractSocket::IPv6Protocol;
            if (!localAddress(message, family, address))
                continue;
            Record record;
            record.setName(hostname);
            record.setType(type);
            record.setAddress(address);
            record.setTtl(MdnsHostRecordTtl);
            record.setFlushCache(true);
            if (!pacer.allow(record, message, probe))
                continue;
            reply.addRecord(record);
            answered = true;
        }
    }
    if (answered)
        server->sendToGroups(reply);
}

Hostname::Hostname(AbstractServer *server, QObject *parent) : QObject(parent), d(new HostnamePrivate(this, server))
{
    d->registrationTimer.setSingleShot(true);
    d->reannounceTimer.setSingleShot(true);
    d->repeatTimer.setSingleShot(true);
    setTimeScale(1.0);
    connect(&d->registrationTimer, &QTimer::timeout, this, [this]() { d->onRegistered(); });
    connect(&d->reannounceTimer, &QTimer::timeout, this, [this]() { d->onReannounce(); });
    connect(&d->repeatTimer, &QTimer::timeout, this, [this]() {
        if (!d->registered)
            d->sendQuery();
    });
    connect(server, &AbstractServer::messageReceived, this, [this](const Message &m) { d->onMessageReceived(m); });
    d->propose();
}

Hostname::~Hostname() = default;

void Hostname::setTimeScale(double speed)
{
    d->registrationTimer.setInterval(scaledInterval(kRegistrationMs, speed));
    d->reannounceTimer.setInterval(scaledInterval(kReannounceMs, speed));
    d->repeatTimer.setInterval(scaledInterval(kRepeatQueryMs, speed));
}

void Hostname::setClock(const Clock *clock)
{
    d->pacer.setClock(clock);
}

QByteArray Hostname::hostName() const
{
    return d->hostname;
}

bool Hostname::isConfirmed() const
{
    return d->registered;
}

} // namespace QMdnsEngine
