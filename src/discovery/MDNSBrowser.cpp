#include "discovery/MDNSBrowser.h"

#include "discovery/mdns/Browser.h"

#include <QDebug>
#include <QTimer>

namespace {
constexpr int kNoServiceTimeoutMs = 1000;
} // namespace

const char *const MDNSBrowser::kServiceType = "_fernholow._tcp.local.";

MDNSBrowser::MDNSBrowser(QMdnsEngine::AbstractServer *server, QObject *parent)
    : LocatorStrategy(parent), m_server(server),
      m_browser(new QMdnsEngine::Browser(server, QByteArray(kServiceType), nullptr, this)), m_lookup(server, this),
      m_logLimiter(this)
{
    connect(m_browser, &QMdnsEngine::Browser::serviceAdded, this, &MDNSBrowser::onServiceAdded);
    connect(m_browser, &QMdnsEngine::Browser::serviceUpdated, this, &MDNSBrowser::onServiceUpdated);
    connect(m_browser, &QMdnsEngine::Browser::serviceRemoved, this, &MDNSBrowser::onServiceRemoved);
    connect(&m_lookup, &LocatorStrategy::located, this, &MDNSBrowser::internalLocated);
    connect(&m_lookup, &LocatorStrategy::timeout, this, &MDNSBrowser::internalTimeout);
}

MDNSBrowser::~MDNSBrowser() = default;

void MDNSBrowser::startLookup()
{
    clearFlags();
    qInfo().noquote() << "MDNSBrowser: startLookup";
    if (!m_lastService.hostname().isEmpty()) {
        const QString hostname = QString::fromUtf8(m_lastService.hostname());
        qInfo().noquote() << "MDNSBrowser: Have hostname from browser " + hostname;
        m_lookup.changeQueryHostname(hostname);
        m_lookup.startLookup();
        return;
    }
    QTimer::singleShot(scaled(kNoServiceTimeoutMs), Qt::PreciseTimer, this, [this]() { reportTimeout(); });
}

void MDNSBrowser::onServiceAdded(const QMdnsEngine::Service &service)
{
    if (m_logLimiter.allow(QStringLiteral("MDNSBrowser: onServiceAdded")))
        qInfo().noquote() << "MDNSBrowser: onServiceAdded" << service.toString();
    m_lastService = service;
}

void MDNSBrowser::onServiceUpdated(const QMdnsEngine::Service &service)
{
    if (m_logLimiter.allow(QStringLiteral("MDNSBrowser: onServiceUpdated")))
        qInfo().noquote() << "MDNSBrowser: onServiceUpdated" << service.toString();
    m_lastService = service;
}

void MDNSBrowser::onServiceRemoved(const QMdnsEngine::Service &service)
{
    if (m_logLimiter.allow(QStringLiteral("MDNSBrowser: onServiceRemoved")))
        qInfo().noquote() << "MDNSBrowser: onServiceRemoved" << service.toString();
    m_lastService = QMdnsEngine::Service();
}

void MDNSBrowser::internalLocated(const QHostAddress &address)
{
    qInfo().noquote() << QStringLiteral("MDNSBrowser: internalLocated: %1").arg(address.toString());
    reportLocated(address);
}

void MDNSBrowser::internalTimeout()
{
    qInfo().noquote() << "MDNSBrowser: internalTimeout";
    reportTimeout();
}

void MDNSBrowser::setTimeScale(double speed)
{
    LocatorStrategy::setTimeScale(speed);
    m_lookup.setTimeScale(speed);
}
