#include "discovery/mdns/Cache.h"

#include "discovery/mdns/Dns.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTimer>

#include <cmath>
#include <limits>

namespace QMdnsEngine {

namespace {
struct Entry {
    Record record;
    QList<qint64> triggers; // cache-clock milliseconds, ascending; the last one is the expiry
};
} // namespace

class CachePrivate
{
public:
    explicit CachePrivate(Cache *q) : q(q), timer(q) { clock.start(); }

    qint64 now() const { return qint64(std::floor(double(clock.nsecsElapsed()) / 1e6 * speed)); }
    void aim(qint64 target);
    void onTimeout();
    void evictOne();

    Cache *q;
    QElapsedTimer clock;
    double speed = 1.0;
    QTimer timer;
    qint64 timerTarget = std::numeric_limits<qint64>::max();
    QList<Entry> entries;
};

void CachePrivate::aim(qint64 target)
{
    timerTarget = target;
    const qint64 wait = std::max<qint64>(0, target - now());
    // Round the real wait up so the timer never fires before the cache clock
    // reached the target.
    timer.start(int(std::min<double>(std::ceil(double(wait) / speed), std::numeric_limits<int>::max())));
}

void CachePrivate::evictOne()
{
    int earliest = -1;
    for (int i = 0; i < entries.size(); ++i) {
        if (earliest < 0 || entries.at(i).triggers.constLast() < entries.at(earliest).triggers.constLast())
            earliest = i;
    }
    if (earliest < 0)
        return;
    const Record gone = entries.takeAt(earliest).record;
    emit q->recordExpired(gone);
}

void CachePrivate::onTimeout()
{
    const qint64 t = now();
    QList<Record> refresh;
    QList<Record> expired;
    qint64 next = std::numeric_limits<qint64>::max();
    for (int i = 0; i < entries.size();) {
        Entry &entry = entries[i];
        bool dropped = false;
        while (!entry.triggers.isEmpty() && entry.triggers.constFirst() <= t) {
            entry.triggers.removeFirst();
            dropped = true;
        }
        if (entry.triggers.isEmpty()) {
            expired.append(entry.record);
            entries.removeAt(i);
            continue;
        }
        if (dropped)
            refresh.append(entry.record);
        next = std::min(next, entry.triggers.constFirst());
        ++i;
    }
    timerTarget = std::numeric_limits<qint64>::max();
    if (next != std::numeric_limits<qint64>::max())
        aim(next);
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
    for (int i = 0; i < d->entries.size(); ++i) {
        const Record &cached = d->entries.at(i).record;
        const bool sameSet =
            record.flushCache() && sameName(cached.name(), record.name()) && cached.type() == record.type();
        if (!sameSet && !(cached == record))
            continue;
        if (record.ttl() == 0) {
            // A goodbye: the owner withdrew the record.
            const Record gone = d->entries.takeAt(i).record;
            emit recordExpired(gone);
            return;
        }
        d->entries.removeAt(i);
        --i;
    }
    if (record.ttl() == 0)
        return;
    while (d->entries.size() >= maxRecords())
        d->evictOne();

    const qint64 now = d->now();
    const qint64 ttlMs = qint64(record.ttl()) * 1000;
    const qint64 jitter = QRandomGenerator::global()->bounded(20);
    Entry entry;
    entry.record = record;
    entry.triggers = {now + ttlMs * 50 / 100 + jitter, now + ttlMs * 85 / 100 + jitter, now + ttlMs * 90 / 100 + jitter,
                      now + ttlMs * 95 / 100 + jitter, now + ttlMs};
    d->entries.append(entry);
    if (!d->timer.isActive() || entry.triggers.constFirst() < d->timerTarget)
        d->aim(entry.triggers.constFirst());
}

bool Cache::findRecord(const QByteArray &name, quint16 type, Record &record) const
{
    for (const Entry &entry : qAsConst(d->entries)) {
        if ((name.isNull() || sameName(entry.record.name(), name)) && (type == ANY || entry.record.type() == type)) {
            record = entry.record;
            return true;
        }
    }
    return false;
}

QList<Record> Cache::findRecords(const QByteArray &name, quint16 type) const
{
    QList<Record> result;
    for (const Entry &entry : qAsConst(d->entries)) {
        if ((name.isNull() || sameName(entry.record.name(), name)) && (type == ANY || entry.record.type() == type))
            result.append(entry.record);
    }
    return result;
}

int Cache::count() const
{
    return d->entries.size();
}

} // namespace QMdnsEngine
