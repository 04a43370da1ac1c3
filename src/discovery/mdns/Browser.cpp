#include "discovery/mdns/Browser.h"

#include "discovery/mdns/AbstractServer.h"
#include "discovery/mdns/Cache.h"
#include "discovery/mdns/Dns.h"

#include <QMap>
#include <QSet>
#include <QTimer>

namespace QMdnsEngine {

namespace {
constexpr int kQueryIntervalMs = 60000;
constexpr int kEnumerationDelayMs = 100;
} // namespace

class BrowserPrivate
{
public:
    BrowserPrivate(Browser *q, AbstractServer *server, const QByteArray &type, Cache *cache)
        : q(q), server(server), type(type), cache(cache ? cache : new Cache(q)), queryTimer(q), enumerationTimer(q),
          refreshTimer(q)
    {
    }

    void sendPtrQuery(const QByteArray &name);
    void onQueryTimeout();
    void onEnumerationTimeout();
    void onMessageReceived(const Message &message);
    // Returns false when the SRV record is not known yet and must be asked for.
    bool updateService(const QByteArray &fqName);
    void onRecordExpired(const Record &record);
    void rebuildHostnames();
    void sendRefreshQueries();

    Browser *q;
    AbstractServer *server;
    QByteArray type;
    Cache *cache;
    QTimer queryTimer;
    QTimer enumerationTimer;
    // Refresh questions of one cache pass, one per name and type, sent together.
    QTimer refreshTimer;
    QList<Query> refreshQueries;
    QSet<QByteArray> refreshKeys;
    QSet<QByteArray> enumeratedTypes;
    QMap<QByteArray, Service> services;
    QSet<QByteArray> hostnames;
};

void BrowserPrivate::sendPtrQuery(const QByteArray &name)
{
    Message message;
    Query query;
    query.setName(name);
    query.setType(PTR);
    message.addQuery(query);
    // Known answers let responders stay quiet about what we already hold.
    for (const Record &record : cache->findRecords(name, PTR))
        message.addRecord(record);
    server->sendToGroups(message);
}

void BrowserPrivate::sendRefreshQueries()
{
    Message message;
    int bytes = 12;
    for (const Query &query : qAsConst(refreshQueries)) {
        // Uncompressed size: an upper bound, so every message fits.
        const int size = query.name().size() + 2 + 4;
        if (!message.queries().isEmpty() && bytes + size > MdnsMaxMessageBytes) {
            server->sendToGroups(message);
            message = Message();
            bytes = 12;
        }
        message.addQuery(query);
        bytes += size;
    }
    if (!message.queries().isEmpty())
        server->sendToGroups(message);
    refreshQueries.clear();
    refreshKeys.clear();
}

void BrowserPrivate::onQueryTimeout()
{
    sendPtrQuery(type);
    queryTimer.start();
}

void BrowserPrivate::onEnumerationTimeout()
{
    for (const QByteArray &target : qAsConst(enumeratedTypes))
        sendPtrQuery(target);
    enumeratedTypes.clear();
}

void BrowserPrivate::onMessageReceived(const Message &message)
{
    if (!message.isResponse())
        return;
    const QList<Record> records = message.records();
    // Folded name -> the name as the peer spelled it (the instance label is shown as sent).
    QMap<QByteArray, QByteArray> marked;
    for (const Record &record : records) {
        if (record.type() == PTR && sameName(record.name(), type)) {
            if (type == MdnsBrowseType) {
                // Bounded like the service table: the follow-up queries go out in 100 ms.
                if (enumeratedTypes.size() < Browser::maxServices())
                    enumeratedTypes.insert(record.target());
            } else
                marked.insert(foldName(record.target()), record.target());
            cache->insertRecord(record);
        } else if ((record.type() == SRV || record.type() == TXT) && nameInDomain(record.name(), type)) {
            marked.insert(foldName(record.name()), record.name());
            cache->insertRecord(record);
        }
    }
    if (!enumeratedTypes.isEmpty() && !enumerationTimer.isActive())
        enumerationTimer.start();

    Message missing;
    for (const QByteArray &name : qAsConst(marked)) {
        if (updateService(name))
            continue;
        Query srv;
        srv.setName(name);
        srv.setType(SRV);
        missing.addQuery(srv);
        Query txt;
        txt.setName(name);
        txt.setType(TXT);
        missing.addQuery(txt);
    }
    if (!missing.queries().isEmpty())
        server->sendToGroups(missing);

    for (const Record &record : records) {
        if ((record.type() == A || record.type() == AAAA) && hostnames.contains(foldName(record.name())))
            cache->insertRecord(record);
    }
}

bool BrowserPrivate::updateService(const QByteArray &fqName)
{
    const int dot = fqName.indexOf('.');
    if (dot < 0)
        return true;
    const QByteArray label = fqName.left(dot);
    const QByteArray serviceType = fqName.mid(dot + 1);
    if (!cache->contains(serviceType, PTR))
        return true;
    Record srv;
    if (!cache->findRecord(fqName, SRV, srv))
        return false;

    Service service;
    service.setName(label);
    service.setType(serviceType);
    service.setHostname(srv.target());
    service.setPort(srv.port());
    QMap<QByteArray, QByteArray> attributes;
    for (const Record &txt : cache->findRecords(fqName, TXT)) {
        const QMap<QByteArray, QByteArray> more = txt.attributes();
        for (auto i = more.cbegin(); i != more.cend(); ++i)
            attributes.insert(i.key(), i.value());
    }
    service.setAttributes(attributes);

    const QByteArray key = foldName(fqName);
    const auto known = services.find(key);
    if (known == services.end()) {
        // A flood of made-up instances must not grow the table without bound;
        // real ones get in again once the flood has expired from the cache.
        if (services.size() >= Browser::maxServices())
            return true;
        services.insert(key, service);
        hostnames.insert(foldName(service.hostname()));
        emit q->serviceAdded(service);
        return true;
    }
    const bool changed = known.value() != service;
    known.value() = service;
    hostnames.insert(foldName(service.hostname()));
    if (changed)
        emit q->serviceUpdated(service);
    return true;
}

void BrowserPrivate::rebuildHostnames()
{
    hostnames.clear();
    for (const Service &service : qAsConst(services))
        hostnames.insert(foldName(service.hostname()));
}

void BrowserPrivate::onRecordExpired(const Record &record)
{
    if (!nameInDomain(record.name(), type))
        return;
    const QByteArray key = foldName(record.name());
    if (record.type() == TXT && services.contains(key)) {
        updateService(record.name());
    } else if (record.type() == SRV) {
        const auto known = services.find(key);
        if (known == services.end())
            return;
        const Service gone = known.value();
        services.erase(known);
        rebuildHostnames();
        emit q->serviceRemoved(gone);
    }
}

Browser::Browser(AbstractServer *server, const QByteArray &type, Cache *cache, QObject *parent)
    : QObject(parent), d(new BrowserPrivate(this, server, type, cache))
{
    qRegisterMetaType<QMdnsEngine::Service>();
    d->queryTimer.setSingleShot(true);
    d->queryTimer.setInterval(kQueryIntervalMs);
    d->enumerationTimer.setSingleShot(true);
    d->enumerationTimer.setInterval(kEnumerationDelayMs);
    connect(&d->queryTimer, &QTimer::timeout, this, [this]() { d->onQueryTimeout(); });
    connect(&d->enumerationTimer, &QTimer::timeout, this, [this]() { d->onEnumerationTimeout(); });
    connect(server, &AbstractServer::messageReceived, this, [this](const Message &m) { d->onMessageReceived(m); });
    d->refreshTimer.setSingleShot(true);
    d->refreshTimer.setInterval(0);
    connect(&d->refreshTimer, &QTimer::timeout, this, [this]() { d->sendRefreshQueries(); });
    connect(d->cache, &Cache::shouldQuery, this, [this](const Record &record) {
        const QByteArray key = foldName(record.name()) + '\0' + QByteArray::number(record.type());
        if (d->refreshKeys.contains(key))
            return;
        d->refreshKeys.insert(key);
        Query query;
        query.setName(record.name());
        query.setType(record.type());
        d->refreshQueries.append(query);
        if (!d->refreshTimer.isActive())
            d->refreshTimer.start();
    });
    connect(d->cache, &Cache::recordExpired, this, [this](const Record &record) { d->onRecordExpired(record); });
    d->onQueryTimeout();
}

Browser::~Browser() = default;

} // namespace QMdnsEngine
