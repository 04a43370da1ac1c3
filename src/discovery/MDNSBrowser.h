#pragma once

#include "discovery/LocatorStrategy.h"
#include "discovery/LogLimiter.h"
#include "discovery/MDNSHostnameLookup.h"
#include "discovery/mdns/Service.h"

namespace QMdnsEngine {
class AbstractServer;
class Browser;
} // namespace QMdnsEngine

// Finds a relay that advertises itself on the local network. Browsing runs all
// the time; a lookup resolves the host of the relay service seen last.
class MDNSBrowser : public LocatorStrategy
{
    Q_OBJECT

public:
    explicit MDNSBrowser(QMdnsEngine::AbstractServer *server, QObject *parent = nullptr);
    ~MDNSBrowser() override;

    static const char *const kServiceType;

    void setTimeScale(double speed) override;

public slots:
    void startLookup() override;
    void onServiceAdded(const QMdnsEngine::Service &service);
    void onServiceUpdated(const QMdnsEngine::Service &service);
    void onServiceRemoved(const QMdnsEngine::Service &service);
    void internalLocated(const QHostAddress &address);
    void internalTimeout();

private:
    QMdnsEngine::AbstractServer *m_server;
    QMdnsEngine::Browser *m_browser;
    QMdnsEngine::Service m_lastService;
    MDNSHostnameLookup m_lookup;
    LogLimiter m_logLimiter;
};
