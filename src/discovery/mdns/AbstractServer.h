#pragma once

#include "discovery/mdns/Message.h"

#include <QObject>

namespace QMdnsEngine {

// What the engine's parts need from the network: send a message, hear messages.
// Tests and the simulated unit can put their own transport behind it.
class AbstractServer : public QObject
{
    Q_OBJECT

public:
    explicit AbstractServer(QObject *parent = nullptr);

    // Sends to the address and port stored in the message.
    virtual void sendTo(const Message &message) = 0;
    // Sends to both mDNS groups on every interface that can multicast.
    virtual void sendToGroups(const Message &message) = 0;

signals:
    void messageReceived(const QMdnsEngine::Message &message);
    void error(const QString &message);
};

} // namespace QMdnsEngine
