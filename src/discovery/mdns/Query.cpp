#include "discovery/mdns/Query.h"

#include "discovery/mdns/Dns.h"

namespace QMdnsEngine {

class QueryPrivate
{
public:
    QByteArray name;
    quint16 type = 0;
    bool unicastResponse = false;
};

Query::Query() : d(new QueryPrivate) {}
Query::Query(const Query &other) : d(new QueryPrivate(*other.d)) {}
Query &Query::operator=(const Query &other)
{
    *d = *other.d;
    return *this;
}
Query::~Query() = default;

bool Query::operator==(const Query &other) const
{
    return d->name == other.d->name && d->type == other.d->type && d->unicastResponse == other.d->unicastResponse;
}

QByteArray Query::name() const
{
    return d->name;
}
void Query::setName(const QByteArray &name)
{
    d->name = name;
}
quint16 Query::type() const
{
    return d->type;
}
void Query::setType(quint16 type)
{
    d->type = type;
}
bool Query::unicastResponse() const
{
    return d->unicastResponse;
}
void Query::setUnicastResponse(bool unicastResponse)
{
    d->unicastResponse = unicastResponse;
}

QDebug operator<<(QDebug debug, const Query &query)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "Query(" << query.name() << " " << typeName(query.type()) << ")";
    return debug;
}

} // namespace QMdnsEngine
