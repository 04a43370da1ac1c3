#pragma once

#include "app/Clock.h"

#include <QObject>
#include <QScopedPointer>

namespace QMdnsEngine {

class AbstractServer;
class HostnamePrivate;

// Claims "<machine name>.local." for this machine (numbered "-2", "-3", ... when
// another responder already uses it) and answers address queries for it.
class Hostname : public QObject
{
    Q_OBJECT

public:
    explicit Hostname(AbstractServer *server, QObject *parent = nullptr);
    ~Hostname() override;

    QByteArray hostName() const;
    bool isConfirmed() const;

    // The registration, repeat and re-announce waits run speed times faster than real (see
    // discovery/TimeScale.h); a running wait starts over at the new length.
    void setTimeScale(double speed);
    // The clock that paces answers (see Pacer.h).
    void setClock(const Clock *clock);

signals:
    void hostnameChanged(const QByteArray &hostname);
    // Every registration, changed name or not (after hostnameChanged when both apply).
    void hostnameRegistered(const QByteArray &hostname);

private:
    QScopedPointer<HostnamePrivate> d;
};

} // namespace QMdnsEngine
