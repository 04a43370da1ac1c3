#include "discovery/mdns/Cache.h"

#include "discovery/mdns/Dns.h"

#include <QElapsedTimer>
#include <QHash>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_map>

namespace QMdnsEngine {

namespace {
using Schedule = std::multimap<qint64, quint64>;

struct Entry {
    Record record;
    QList<qint64> triggers; // cache-clock milliseconds, ascending; the last one is the expiry
    qint64 bytes = 0;
    QByteArray key;     // folded name
    QByteArray typeKey; // folded name and type
    QByteArray dataKey; // and the record data, as far as equality goes
    Schedule::iterator scheduled;
    Schedule::iterator expiry;
};

// What a record costs in memory, not on the wire: every TXT attribute is a map node with
// two byte arrays, each with its own heap block, about 30 times a short string's wire size.
QByteArray typeKeyOf(const QByteArray &foldedName, quint16 type)
{
    return foldedName + '\0' + QByteArray::number(type);
}

QByteArray dataKeyOf(const QByteArray &typeKey, const Record &record)
{
    QByteArray key = typeKey;
    key += '\0' + foldName(record.target()) + '\0' + foldName(record.nextDomainName()) + '\0';
    key += record.address().toString().toLatin1() + '\0';
    key += QByteArray::number(record.port()) + ',' + QByteArray::number(record.priority()) + ',' +
           QByteArray::number(record.weight());
    const QMap<QByteArray, QByteArray> attributes = record.attributes();
    for (auto i = attributes.cbegin(); i != attributes.cend(); ++i)
        key += '\0' + i.key() + (i.value().isNull() ? QByteArray("\1") : '=' + i.value());
    return key;
}

qint64 footprint(const Record &record)
{
    constexpr qint64 kRecord = 320;
    constexpr qint64 kAttribute = 160;
    qint64 bytes = kRecord + record.name().size() + record.target().size() + record.nextDomainName().size();
    const QMap<QByteArray, QByteArray> attributes = record.attributes();
    for (auto i = attributes.cbegin(); i != attributes.cend(); ++i)
        bytes += kAttribute + i.key().size() + i.value().size();
    return bytes;
}
} // namespace

class CachePrivate
{
public:
    explicit CachePrivate(Cache *q) : q(q), timer(q) { clock.start(); }

    qint64 now() const { return qint64(std::floor(double(clock.nsecsElapsed()) / 1e6 * speed)); }
    void aim(qint64 target);
    void onTimeout();
    void evictOne();
    Record remove(quint64 id);
    QList<quint64> idsFor(const QByteArray &name, quint16 type) const;
    // The cached record with what is left of its lifetime as TTL, as known answers must carry it.
    Record withRemainingTtl(const Entry &entry) const
    {
        Record record = entry.record;
        const qint64 left = std::max<qint64>(0, entry.triggers.constLast() - now());
        record.setTtl(quint32(std::min<qint64>((left + 999) / 1000, entry.record.ttl())));
        return record;
    }

    Cache *q;
    QElapsedTimer clock;
    double speed = 1.0;
    QTimer timer;
    qint64 timerTarget = std::numeric_limits<qint64>::max();
    quint64 nextId = 1;
    std::unordered_map<quint64, Entry> entries;
    // Lookups and replacements go by name; a flood of records must not make each
    // received record scan the whole cache.
    QMultiHash<QByteArray, quint64> byName;
    QMultiHash<QByteArray, quint64> byType;
    QMultiHash<QByteArray, quint64> byData;
    Schedule schedule; // next trigger of every entry
    Schedule byExpiry;
    qint64 bytes = 0;
};

void CachePrivate::aim(qint64 target)
{
    timerTarget = target;
    const qint64 wait = std::max<qint64>(0, target - now());
    // Round the real wait up so the timer never fires before the cache clock
    // reached the target.
    timer.start(int(std::min<double>(std::ceil(double(wait) / speed), std::numeric_limits<int>::max())));
}

Record CachePrivate::remove(quint64 id)
{
    const auto found = entries.find(id);
    Entry &entry = found->second;
    schedule.erase(entry.scheduled);
    byExpiry.erase(entry.expiry);
    byName.remove(entry.key, id);
    byType.remove(entry.typeKey, id);
    byData.remove(entry.dataKey, id);
    bytes -= entry.bytes;
    const Record record = entry.record;
    entries.erase(found);
    return record;
}

QList<quint64> CachePrivate::idsFor(const QByteArray &name, quint16 type) const
{
    QList<quint64> ids;
    if (name.isNull()) {
        for (const auto &entry : entries)
            ids.append(entry.first);
    } else if (type == ANY) {
        ids = byName.values(foldName(name));
    } else {
        ids = byType.values(typeKeyOf(foldName(name), type));
    }
    // In the order they came in, as callers merge (TXT) and pick (first) by it.
    std::sort(ids.begin(), ids.end());
    return ids;
}

void CachePrivate::evictOne()
{
    if (byExpiry.empty())
        return;
    const Record gone = remove(byExpiry.begin()->second);
    emit q->recordExpired(gone);
}

void CachePrivate::onTimeout()
{
    const qint64 t = now();
    QList<Record> refresh;
    QList<Record> expired;
    while (!schedule.empty() && schedule.begin()->first <= t) {
        const quint64 id = schedule.begin()->second;
        Entry &entry = entries.at(id);
        while (!entry.triggers.isEmpty() && entry.triggers.constFirst() <= t)
            entry.triggers.removeFirst();
        if (entry.triggers.isEmpty()) {
            expired.append(remove(id));
            continue;
        }
        refresh.append(entry.record);
        schedule.erase(entry.scheduled);
        entry.scheduled = schedule.emplace(entry.triggers.constFirst(), id);
    }
    timerTarget = std::numeric_limits<qint64>::max();
    if (!schedule.empty())
        aim(schedule.begin()->first);
    // Signal only after the entries are consistent: receivers may look into the cache.
    for (const Record &record : qAsConst(expired))
        emit q->recordExpired(record);
    for (const Record &record : qAsConst(refresh))
        emit q->shouldQuery(record);
}

Cache::Cache(QObject *parent) : QObject(parent), d(new CachePrivate(this))
{
    qRegisterMetaType<QMdnsEngine::Record>();
    d->timer.setSingleShot(true);
    d->timer.setTimerType(Qt::PreciseTimer);
    connect(&d->timer, &QTimer::timeout, this, [this]() { d->onTimeout(); });
}

Cache::~Cache() = default;

void Cache::setTimeScale(double factor)
{
    if (factor > 0)
        d->speed = factor;
}

void Cache::insertRecord(const Record &record)
{
    const QByteArray key = foldName(record.name());
    const QByteArray typeKey = typeKeyOf(key, record.type());
    const QByteArray dataKey = dataKeyOf(typeKey, record);
    // Cache flush replaces the whole set of name and type; otherwise only an equal record goes.
    const QList<quint64> candidates = record.flushCache() ? d->byType.values(typeKey) : d->byData.values(dataKey);
    for (const quint64 id : candidates) {
        const Record &cached = d->entries.at(id).record;
        if (!record.flushCache() && !(cached == record))
            continue;
        if (record.ttl() == 0) {
            // A goodbye: the owner withdrew the record.
            const Record gone = d->remove(id);
            emit recordExpired(gone);
            return;
        }
        d->remove(id);
    }
    if (record.ttl() == 0)
        return;
    const qint64 bytes = footprint(record);
    if (bytes > maxBytes())
        return;
    while (!d->entries.empty() && (int(d->entries.size()) >= maxRecords() || d->bytes + bytes > maxBytes()))
        d->evictOne();

    const qint64 now = d->now();
    const qint64 ttlMs = qint64(record.ttl()) * 1000;
    const qint64 jitter = QRandomGenerator::global()->bounded(20);
    const quint64 id = d->nextId++;
    Entry &entry = d->entries[id];
    entry.record = record;
    entry.triggers = {now + ttlMs * 50 / 100 + jitter, now + ttlMs * 85 / 100 + jitter, now + ttlMs * 90 / 100 + jitter,
                      now + ttlMs * 95 / 100 + jitter, now + ttlMs};
    entry.bytes = bytes;
    entry.key = key;
    entry.typeKey = typeKey;
    entry.dataKey = dataKey;
    entry.scheduled = d->schedule.emplace(entry.triggers.constFirst(), id);
    entry.expiry = d->byExpiry.emplace(entry.triggers.constLast(), id);
    d->byName.insert(key, id);
    d->byType.insert(typeKey, id);
    d->byData.insert(dataKey, id);
    d->bytes += bytes;
    if (!d->timer.isActive() || entry.triggers.constFirst() < d->timerTarget)
        d->aim(entry.triggers.constFirst());
}

bool Cache::contains(const QByteArray &name, quint16 type) const
{
    return d->byType.contains(typeKeyOf(foldName(name), type));
}

bool Cache::findRecord(const QByteArray &name, quint16 type, Record &record) const
{
    for (const quint64 id : d->idsFor(name, type)) {
        const Entry &entry = d->entries.at(id);
        if (type == ANY || entry.record.type() == type) {
            record = d->withRemainingTtl(entry);
            return true;
        }
    }
    return false;
}

QList<Record> Cache::findRecords(const QByteArray &name, quint16 type) const
{
    QList<Record> result;
    for (const quint64 id : d->idsFor(name, type)) {
        const Entry &entry = d->entries.at(id);
        if (type == ANY || entry.record.type() == type)
            result.append(d->withRemainingTtl(entry));
    }
    return result;
}

int Cache::count() const
{
    return int(d->entries.size());
}

qint64 Cache::byteSize() const
{
    return d->bytes;
}

} // namespace QMdnsEngine
