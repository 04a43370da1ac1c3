#include "discovery/mdns/Record.h"

#include "discovery/mdns/Dns.h"

namespace QMdnsEngine {

class RecordPrivate
{
public:
    QByteArray name;
    quint16 type = 0;
    bool flushCache = false;
    quint32 ttl = 3600;
    QHostAddress address;
    QByteArray target;
    QByteArray nextDomainName;
    quint16 priority = 0;
    quint16 weight = 0;
    quint16 port = 0;
    QMap<QByteArray, QByteArray> attributes;
    Bitmap bitmap;
};

Record::Record() : d(new RecordPrivate) {}
Record::Record(const Record &other) : d(new RecordPrivate(*other.d)) {}
Record &Record::operator=(const Record &other)
{
    *d = *other.d;
    return *this;
}
Record::~Record() = default;

namespace {
// QMap's == ignores the difference between a null and an empty value, which is
// visible on the wire ("key" versus "key="), so compare it explicitly.
bool sameAttributes(const QMap<QByteArray, QByteArray> &a, const QMap<QByteArray, QByteArray> &b)
{
    if (a.size() != b.size())
        return false;
    for (auto i = a.cbegin(), j = b.cbegin(); i != a.cend(); ++i, ++j) {
        if (i.key() != j.key() || i.value() != j.value() || i.value().isNull() != j.value().isNull())
            return false;
    }
    return true;
}
} // namespace

bool Record::operator==(const Record &other) const
{
    return sameName(d->name, other.d->name) && d->type == other.d->type && d->address == other.d->address &&
           sameName(d->target, other.d->target) && sameName(d->nextDomainName, other.d->nextDomainName) &&
           d->priority == other.d->priority && d->weight == other.d->weight && d->port == other.d->port &&
           sameAttributes(d->attributes, other.d->attributes) && d->bitmap == other.d->bitmap;
}

QByteArray Record::name() const
{
    return d->name;
}
void Record::setName(const QByteArray &name)
{
    d->name = name;
}
quint16 Record::type() const
{
    return d->type;
}
void Record::setType(quint16 type)
{
    d->type = type;
}
bool Record::flushCache() const
{
    return d->flushCache;
}
void Record::setFlushCache(bool flushCache)
{
    d->flushCache = flushCache;
}
quint32 Record::ttl() const
{
    return d->ttl;
}
void Record::setTtl(quint32 ttl)
{
    d->ttl = ttl;
}
QHostAddress Record::address() const
{
    return d->address;
}
void Record::setAddress(const QHostAddress &address)
{
    d->address = address;
}
QByteArray Record::target() const
{
    return d->target;
}
void Record::setTarget(const QByteArray &target)
{
    d->target = target;
}
QByteArray Record::nextDomainName() const
{
    return d->nextDomainName;
}
void Record::setNextDomainName(const QByteArray &nextDomainName)
{
    d->nextDomainName = nextDomainName;
}
quint16 Record::priority() const
{
    return d->priority;
}
void Record::setPriority(quint16 priority)
{
    d->priority = priority;
}
quint16 Record::weight() const
{
    return d->weight;
}
void Record::setWeight(quint16 weight)
{
    d->weight = weight;
}
quint16 Record::port() const
{
    return d->port;
}
void Record::setPort(quint16 port)
{
    d->port = port;
}
QMap<QByteArray, QByteArray> Record::attributes() const
{
    return d->attributes;
}
void Record::setAttributes(const QMap<QByteArray, QByteArray> &attributes)
{
    d->attributes = attributes;
}
void Record::addAttribute(const QByteArray &key, const QByteArray &value)
{
    d->attributes.insert(key, value);
}
Bitmap Record::bitmap() const
{
    return d->bitmap;
}
void Record::setBitmap(const Bitmap &bitmap)
{
    d->bitmap = bitmap;
}

QDebug operator<<(QDebug debug, const Record &record)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "Record(" << record.name() << " " << typeName(record.type()) << " ttl " << record.ttl()
                              << ")";
    return debug;
}

} // namespace QMdnsEngine
