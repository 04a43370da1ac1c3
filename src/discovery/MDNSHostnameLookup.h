#pragma once

#include "discovery/LocatorStrategy.h"

#include <QPointer>
#include <QString>
#include <QTimer>

namespace QMdnsEngine {
class AbstractServer;
class Resolver;
} // namespace QMdnsEngine

// Finds the unit by asking the local network for the IPv4 address of its mDNS
// host name. One query per lookup; a lookup ends with the first IPv4 answer or
// after five seconds.
class MDNSHostnameLookup : public LocatorStrategy
{
    Q_OBJECT

public:
    explicit MDNSHostnameLookup(QMdnsEngine::AbstractServer *server, QObject *parent = nullptr);
    ~MDNSHostnameLookup() override;

    QString queryHostname() const { return m_hostname; }

public slots:
    void startLookup() override;
    // Used from the next lookup on.
    void changeQueryHostname(const QString &hostname);
    void resolved(const QHostAddress &address);
    void resolverTimeout();

private:
    QString m_hostname;
    QMdnsEngine::AbstractServer *m_server;
    QPointer<QMdnsEngine::Resolver> m_resolver;
    QTimer m_timer;
};
