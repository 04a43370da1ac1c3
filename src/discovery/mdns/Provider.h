#pragma once

#include "app/Clock.h"
#include "discovery/mdns/Service.h"

#include <QObject>
#include <QScopedPointer>

namespace QMdnsEngine {

class AbstractServer;
class Hostname;
class ProviderPrivate;

// Advertises one service instance on the host name that hostname holds: probes
// the instance name, announces it, answers queries for it and says goodbye when
// destroyed.
class Provider : public QObject
{
    Q_OBJECT

public:
    Provider(AbstractServer *server, Hostname *hostname, QObject *parent = nullptr);
    ~Provider() override;

    // Advertises service, or re-advertises it after a change.
    void publishService(const Service &service);

    // Probes of the instance name run speed times faster than real (see discovery/TimeScale.h).
    void setTimeScale(double speed);
    // The clock that paces answers (see Pacer.h).
    void setClock(const Clock *clock);

private:
    QScopedPointer<ProviderPrivate> d;
};

} // namespace QMdnsEngine
