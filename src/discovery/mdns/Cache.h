#pragma once

#include "discovery/mdns/Record.h"

#include <QList>
#include <QObject>
#include <QScopedPointer>

namespace QMdnsEngine {

class CachePrivate;

// Records heard from the network, each with the points in its lifetime at which
// it should be refreshed (50 %, 85 %, 90 %, 95 % of its TTL) and at which it
// expires. Holds at most maxRecords() records and maxBytes() of memory: when full,
// the record closest to its expiry leaves first (reported as expired), so a flood of
// records, however large, cannot grow memory.
class Cache : public QObject
{
    Q_OBJECT

public:
    explicit Cache(QObject *parent = nullptr);
    ~Cache() override;

    static constexpr int maxRecords() { return 4096; }
    static constexpr qint64 maxBytes() { return 4 * 1024 * 1024; }

    // Runs the cache's clock this many times faster than real time; only tests
    // that want to watch a whole TTL go by change it, before inserting anything.
    void setTimeScale(double factor);

    void insertRecord(const Record &record);
    // A null name matches every name, type 255 (ANY) every type.
    bool findRecord(const QByteArray &name, quint16 type, Record &record) const;
    QList<Record> findRecords(const QByteArray &name, quint16 type) const;
    bool contains(const QByteArray &name, quint16 type) const;
    int count() const;
    // The memory the cached records take, as the bound counts it.
    qint64 byteSize() const;

signals:
    void shouldQuery(const QMdnsEngine::Record &record);
    void recordExpired(const QMdnsEngine::Record &record);

private:
    QScopedPointer<CachePrivate> d;
};

} // namespace QMdnsEngine
