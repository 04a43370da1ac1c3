#include "discovery/mdns/Prober.h"

#include "discovery/mdns/AbstractServer.h"
#include "discovery/mdns/Dns.h"
#include "discovery/TimeScale.h"

#include <QTimer>

namespace QMdnsEngine {

namespace {
constexpr int kProbeMs = 2000;
// Responders multicast a record at most once a second; the second probe, after
// that second, reaches a holder that stayed silent on the first.
constexpr int kRepeatProbeMs = 1100;
} // namespace

class ProberPrivate
{
public:
    ProberPrivate(Prober *q, AbstractServer *server, const Record &record, const QList<Record> &own)
        : q(q), server(server), record(record), own(own), timer(q), repeatTimer(q)
    {
        const QByteArray name = record.name();
        const int dot = name.indexOf('.');
        label = dot < 0 ? name : name.left(dot);
        rest = dot < 0 ? QByteArray() : name.mid(dot);
    }

    void propose()
    {
        proposed = suffix == 1 ? label + rest : label + '-' + QByteArray::number(suffix) + rest;
        record.setName(proposed);
        sendProbe();
        timer.start();
        repeatTimer.start();
    }

    void sendProbe()
    {
        Message message;
        Query query;
        query.setName(proposed);
        query.setType(ANY);
        message.addQuery(query);
        // A probe states what we would publish; it is not an answer that flushes caches.
        Record proposal = record;
        proposal.setFlushCache(false);
        message.addRecord(proposal);
        server->sendToGroups(message);
    }

    Prober *q;
    AbstractServer *server;
    bool conflicts(const Record &other) const
    {
        if (!sameName(other.name(), proposed) || other.type() != record.type())
            return false;
        return !(other == record) && !own.contains(other);
    }

    Record record;
    QList<Record> own;
    QByteArray label;
    QByteArray rest;
    QByteArray proposed;
    int suffix = 1;
    bool confirmed = false;
    QTimer timer;
    QTimer repeatTimer;
};

Prober::Prober(AbstractServer *server, const Record &record, QObject *parent) : Prober(server, record, {}, parent) {}

Prober::Prober(AbstractServer *server, const Record &record, const QList<Record> &own, QObject *parent)
    : QObject(parent), d(new ProberPrivate(this, server, record, own))
{
    d->timer.setSingleShot(true);
    d->repeatTimer.setSingleShot(true);
    setTimeScale(1.0);
    connect(&d->repeatTimer, &QTimer::timeout, this, [this]() {
        if (!d->confirmed)
            d->sendProbe();
    });
    connect(&d->timer, &QTimer::timeout, this, [this]() {
        d->confirmed = true;
        emit nameConfirmed(d->proposed);
    });
    connect(server, &AbstractServer::messageReceived, this, [this](const Message &message) {
        if (d->confirmed || !message.isResponse())
            return;
        for (const Record &other : message.records()) {
            if (d->conflicts(other)) {
                ++d->suffix;
                d->propose();
                return;
            }
        }
    });
    d->propose();
}

Prober::~Prober() = default;

void Prober::setTimeScale(double speed)
{
    d->timer.setInterval(scaledInterval(kProbeMs, speed));
    d->repeatTimer.setInterval(scaledInterval(kRepeatProbeMs, speed));
}

} // namespace QMdnsEngine
