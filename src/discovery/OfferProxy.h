#pragma once

#include "discovery/LogLimiter.h"
#include "discovery/mdns/Message.h"

#include <QObject>

namespace QMdnsEngine {
class Hostname;
class Provider;
class Server;
} // namespace QMdnsEngine

// Makes a relay findable: registers this machine's mDNS host name from
// construction on and, once offer() is called, advertises the relay service on
// the unit's control port. Logs received records that concern the product.
class OfferProxy : public QObject
{
    Q_OBJECT

public:
    explicit OfferProxy(QObject *parent = nullptr);
    ~OfferProxy() override;

    static constexpr quint16 kPort = 4242;
    static const char *const kInstanceName;

    // Host name registration and the instance probe run speed times faster than real (see TimeScale.h).
    void setTimeScale(double speed);

public slots:
    void offer();

private slots:
    void onHostnameChanged(const QByteArray &hostname);
    void onMessageReceived(const QMdnsEngine::Message &message);

private:
    QMdnsEngine::Server *m_server;
    QMdnsEngine::Hostname *m_hostname;
    QMdnsEngine::Provider *m_provider = nullptr;
    double m_speed = 1.0;
    LogLimiter m_logLimiter;
};
