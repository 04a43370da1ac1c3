#pragma once

#include "discovery/mdns/Record.h"

#include <QObject>
#include <QScopedPointer>

namespace QMdnsEngine {

class AbstractServer;
class ProberPrivate;

// Finds a unique name for a record: asks whether anyone holds it and numbers the
// first label ("-2", "-3", ...) until nobody objects for two seconds.
class Prober : public QObject
{
    Q_OBJECT

public:
    Prober(AbstractServer *server, const Record &record, QObject *parent = nullptr);
    // own: records this responder already publishes. Hearing them (our own answers come back
    // to us) or hearing the proposed record itself is no sign that someone else holds the name.
    Prober(AbstractServer *server, const Record &record, const QList<Record> &own, QObject *parent = nullptr);
    ~Prober() override;

    // The probe waits run speed times faster than real (see discovery/TimeScale.h); a running wait starts
    // over at the new length.
    void setTimeScale(double speed);

signals:
    void nameConfirmed(const QByteArray &name);

private:
    QScopedPointer<ProberPrivate> d;
};

} // namespace QMdnsEngine
