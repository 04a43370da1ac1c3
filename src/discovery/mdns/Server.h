#pragma once

#include "discovery/mdns/AbstractServer.h"

#include <QScopedPointer>

namespace QMdnsEngine {

class ServerPrivate;

// mDNS over UDP: one IPv4 and one IPv6 socket on port 5353 (shared with other
// responders on the machine), joined to the groups on every interface that can
// multicast, re-checked every 60 s so that interfaces that come up later count.
class Server : public AbstractServer
{
    Q_OBJECT

public:
    explicit Server(QObject *parent = nullptr);
    ~Server() override;

    void sendTo(const Message &message) override;
    void sendToGroups(const Message &message) override;

    // The bind re-check runs speed times faster than real (see discovery/TimeScale.h).
    void setTimeScale(double speed);

private:
    QScopedPointer<ServerPrivate> d;
};

} // namespace QMdnsEngine
