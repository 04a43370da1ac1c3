#include "MdnsResponder.h"

#include "discovery/UnitHostname.h"
#include "discovery/mdns/Message.h"
#include "discovery/mdns/Server.h"

#include <QDebug>
#include <QNetworkInterface>

namespace {
constexpr quint16 kMdnsPort = 5353;
constexpr quint16 kTypeA = 1;
constexpr quint16 kTypeAny = 255;
constexpr quint32 kTtl = 120;
// A resolver that is not itself an mDNS responder (queries from a port other
// than 5353) gets a unicast answer with a short TTL, echoing its question.
constexpr quint32 kLegacyTtl = 10;
} // namespace

MdnsResponder::MdnsResponder(QMdnsEngine::AbstractServer *server, QObject *parent)
    : QObject(parent), m_server(server), m_hostname(kUnitMdnsHostname)
{
}

MdnsResponder::~MdnsResponder() = default;

bool MdnsResponder::start()
{
    if (!m_server) {
        m_ownServer = std::make_unique<QMdnsEngine::Server>();
        m_server = m_ownServer.get();
    }
    connect(m_server, &QMdnsEngine::AbstractServer::messageReceived, this, &MdnsResponder::onMessage);
    connect(m_server, &QMdnsEngine::AbstractServer::error, this,
            [](const QString &text) { qWarning().noquote() << QStringLiteral("mDNS: %1").arg(text); });
    return true;
}

QHostAddress MdnsResponder::localAddressFor(const QHostAddress &peer)
{
    QHostAddress fallback;
    const QHostAddress peer4(peer.toIPv4Address());
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        if (!(iface.flags() & QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry &e : iface.addressEntries()) {
            if (e.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (!peer4.isNull() && peer4.isInSubnet(e.ip(), e.prefixLength()))
                return e.ip();
            if (fallback.isNull() && !e.ip().isLoopback())
                fallback = e.ip();
        }
    }
    return fallback.isNull() ? QHostAddress(QHostAddress::LocalHost) : fallback;
}

void MdnsResponder::onMessage(const QMdnsEngine::Message &message)
{
    if (message.isResponse())
        return;
    const bool legacy = message.port() != kMdnsPort;
    bool unicast = legacy;
    QList<QMdnsEngine::Query> asked;
    for (const QMdnsEngine::Query &q : message.queries()) {
        if ((q.type() == kTypeA || q.type() == kTypeAny) && q.name().toLower() == m_hostname.toLower()) {
            asked << q;
            unicast = unicast || q.unicastResponse();
        }
    }
    if (asked.isEmpty())
        return;
    const QHostAddress address = localAddressFor(message.address());
    QMdnsEngine::Record record;
    record.setName(m_hostname);
    record.setType(kTypeA);
    record.setAddress(address);
    record.setTtl(legacy ? kLegacyTtl : kTtl);
    record.setFlushCache(!legacy);
    QMdnsEngine::Message answer;
    answer.setResponse(true);
    if (legacy)
        for (const QMdnsEngine::Query &q : asked)
            answer.addQuery(q);
    answer.addRecord(record);
    ++m_answers;
    qInfo().noquote() << QStringLiteral("mDNS: %1 is %2 (asked by %3)")
                             .arg(hostname(), address.toString(), message.address().toString());
    if (unicast) {
        answer.reply(message);
        m_server->sendTo(answer);
    } else {
        m_server->sendToGroups(answer);
    }
}
