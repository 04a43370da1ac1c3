#include "discovery/MDNSHostnameLookup.h"

#include "discovery/UnitHostname.h"
#include "discovery/mdns/Resolver.h"

#include <QDebug>

namespace {
constexpr int kLookupTimeoutMs = 5000;
} // namespace

MDNSHostnameLookup::MDNSHostnameLookup(QMdnsEngine::AbstractServer *server, QObject *parent)
    : LocatorStrategy(parent), m_hostname(QString::fromLatin1(kUnitMdnsHostname)), m_server(server), m_timer(this)
{
    m_timer.setSingleShot(true);
    // The five seconds are part of what the locator promises; a coarse timer may end 5 % early.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &MDNSHostnameLookup::resolverTimeout);
}

MDNSHostnameLookup::~MDNSHostnameLookup() = default;

void MDNSHostnameLookup::startLookup()
{
    clearFlags();
    // Only one query source at a time: the previous resolver goes before the next one asks.
    delete m_resolver;
    qInfo().noquote() << "MDNSHostnameLookup: Send request for" << m_hostname;
    m_resolver = new QMdnsEngine::Resolver(m_server, m_hostname.toLocal8Bit(), nullptr, this);
    connect(m_resolver, &QMdnsEngine::Resolver::resolved, this, &MDNSHostnameLookup::resolved);
    m_timer.start(scaled(kLookupTimeoutMs));
}

void MDNSHostnameLookup::changeQueryHostname(const QString &hostname)
{
    m_hostname = hostname;
}

void MDNSHostnameLookup::resolved(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        qInfo().noquote() << QStringLiteral("MDNSHostnameLookup: Got an IPv6 Reponse, but IPv6 is ignored: %1")
                                 .arg(address.toString());
        return;
    }
    qInfo().noquote() << QStringLiteral("MDNSHostnameLookup: Response: %1").arg(address.toString());
    m_timer.stop();
    reportLocated(address);
}

void MDNSHostnameLookup::resolverTimeout()
{
    delete m_resolver;
    m_timer.stop();
    qInfo().noquote() << "MDNSHostnameLookup: Timeout";
    reportTimeout();
}
