#include "discovery/OfferProxy.h"

#include "discovery/MDNSBrowser.h"
#include "discovery/UnitHostname.h"
#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Hostname.h"
#include "discovery/mdns/Provider.h"
#include "discovery/mdns/Server.h"

#include <QDebug>

const char *const OfferProxy::kInstanceName = "_vq6020";

OfferProxy::OfferProxy(QObject *parent)
    : QObject(parent), m_server(new QMdnsEngine::Server(this)), m_hostname(new QMdnsEngine::Hostname(m_server, this)),
      m_logLimiter(this)
{
    connect(m_hostname, &QMdnsEngine::Hostname::hostnameChanged, this, &OfferProxy::onHostnameChanged);
    connect(m_server, &QMdnsEngine::Server::messageReceived, this, &OfferProxy::onMessageReceived);
}

OfferProxy::~OfferProxy()
{
    // The provider says goodbye through the server, so it must go first.
    delete m_provider;
}

void OfferProxy::setTimeScale(double speed)
{
    m_speed = speed;
    m_hostname->setTimeScale(speed);
    if (m_provider)
        m_provider->setTimeScale(speed);
}

void OfferProxy::offer()
{
    qInfo().noquote() << "OfferProxy: Offer serivce.";
    QMdnsEngine::Service service;
    service.setName(kInstanceName);
    service.setType(MDNSBrowser::kServiceType);
    service.setPort(kPort);
    delete m_provider;
    m_provider = new QMdnsEngine::Provider(m_server, m_hostname, this);
    m_provider->setTimeScale(m_speed);
    m_provider->publishService(service);
}

void OfferProxy::onHostnameChanged(const QByteArray &hostname)
{
    qInfo().noquote() << QStringLiteral("OfferProxy: Hostname changed %1").arg(QString::fromUtf8(hostname));
}

void OfferProxy::onMessageReceived(const QMdnsEngine::Message &message)
{
    static const QString unitLabel = QString::fromLatin1(kUnitMdnsHostname).section(QLatin1Char('.'), 0, 0);
    for (const QMdnsEngine::Record &record : message.records()) {
        const QString line = QStringLiteral("OfferProxy: [%1] %2")
                                 .arg(QMdnsEngine::typeName(record.type()), QString::fromUtf8(record.name()));
        if (!line.contains(QLatin1String("fernholow")) && !line.contains(unitLabel))
            continue;
        if (m_logLimiter.allow(QStringLiteral("OfferProxy: [%1]").arg(QMdnsEngine::typeName(record.type()))))
            qInfo().noquote() << line;
    }
}
