#include "discovery/mdns/Resolver.h"

#include "discovery/mdns/AbstractServer.h"
#include "discovery/mdns/Cache.h"
#include "discovery/mdns/Dns.h"

#include <QSet>
#include <QTimer>

namespace QMdnsEngine {

class ResolverPrivate
{
public:
    ResolverPrivate(Resolver *q, AbstractServer *server, const QByteArray &name, Cache *cache)
        : q(q), server(server), name(name), cache(cache ? cache : new Cache(q))
    {
    }

    QList<Record> existing() const { return cache->findRecords(name, A) + cache->findRecords(name, AAAA); }
    void report(const QHostAddress &address)
    {
        // The set is bounded so that a peer inventing addresses cannot grow it.
        if (reported.contains(address) || reported.size() >= Resolver::maxAddresses())
            return;
        reported.insert(address);
        emit q->resolved(address);
    }

    Resolver *q;
    AbstractServer *server;
    QByteArray name;
    Cache *cache;
    QSet<QHostAddress> reported;
};

Resolver::Resolver(AbstractServer *server, const QByteArray &name, Cache *cache, QObject *parent)
    : QObject(parent), d(new ResolverPrivate(this, server, name, cache))
{
    connect(server, &AbstractServer::messageReceived, this, [this](const Message &message) {
        if (!message.isResponse())
            return;
        for (const Record &record : message.records()) {
            if ((record.type() == A || record.type() == AAAA) && sameName(record.name(), d->name)) {
                d->cache->insertRecord(record);
                if (record.ttl() != 0)
                    d->report(record.address());
            }
        }
    });

    Message message;
    for (quint16 type : {quint16(A), quint16(AAAA)}) {
        Query query;
        query.setName(name);
        query.setType(type);
        message.addQuery(query);
    }
    for (const Record &record : d->existing())
        message.addRecord(record);
    server->sendToGroups(message);

    QTimer::singleShot(0, this, [this]() {
        for (const Record &record : d->existing())
            d->report(record.address());
    });
}

Resolver::~Resolver() = default;

} // namespace QMdnsEngine
