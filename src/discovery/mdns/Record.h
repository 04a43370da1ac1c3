#pragma once

#include "discovery/mdns/Bitmap.h"

#include <QByteArray>
#include <QDebug>
#include <QHostAddress>
#include <QMap>
#include <QScopedPointer>

namespace QMdnsEngine {

class RecordPrivate;

// One resource record. Only the fields of its type are meaningful; the others
// stay at their defaults so that equality compares like with like.
class Record
{
public:
    Record();
    Record(const Record &other);
    Record &operator=(const Record &other);
    ~Record();

    // TTL and cache flush are transport details of one announcement and do not
    // make two records different.
    bool operator==(const Record &other) const;
    bool operator!=(const Record &other) const { return !(*this == other); }

    QByteArray name() const;
    void setName(const QByteArray &name);
    quint16 type() const;
    void setType(quint16 type);
    bool flushCache() const;
    void setFlushCache(bool flushCache);
    quint32 ttl() const;
    void setTtl(quint32 ttl);

    QHostAddress address() const;
    void setAddress(const QHostAddress &address);
    QByteArray target() const;
    void setTarget(const QByteArray &target);
    QByteArray nextDomainName() const;
    void setNextDomainName(const QByteArray &nextDomainName);
    quint16 priority() const;
    void setPriority(quint16 priority);
    quint16 weight() const;
    void setWeight(quint16 weight);
    quint16 port() const;
    void setPort(quint16 port);
    QMap<QByteArray, QByteArray> attributes() const;
    void setAttributes(const QMap<QByteArray, QByteArray> &attributes);
    // A null value (QByteArray()) means "key only"; an empty one means "key=".
    void addAttribute(const QByteArray &key, const QByteArray &value);
    Bitmap bitmap() const;
    void setBitmap(const Bitmap &bitmap);

private:
    QScopedPointer<RecordPrivate> d;
};

QDebug operator<<(QDebug debug, const Record &record);

} // namespace QMdnsEngine

Q_DECLARE_METATYPE(QMdnsEngine::Record)
