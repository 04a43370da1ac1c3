#include "discovery/mdns/Message.h"

namespace QMdnsEngine {

class MessagePrivate
{
public:
    QHostAddress address;
    quint16 port = 0;
    int interfaceIndex = 0;
    quint16 transactionId = 0;
    bool isResponse = false;
    bool isTruncated = false;
    QList<Query> queries;
    QList<Record> records;
};

Message::Message() : d(new MessagePrivate) {}
Message::Message(const Message &other) : d(new MessagePrivate(*other.d)) {}
Message &Message::operator=(const Message &other)
{
    *d = *other.d;
    return *this;
}
Message::~Message() = default;

QHostAddress Message::address() const
{
    return d->address;
}
void Message::setAddress(const QHostAddress &address)
{
    d->address = address;
}
quint16 Message::port() const
{
    return d->port;
}
void Message::setPort(quint16 port)
{
    d->port = port;
}
int Message::interfaceIndex() const
{
    return d->interfaceIndex;
}

void Message::setInterfaceIndex(int index)
{
    d->interfaceIndex = index;
}

quint16 Message::transactionId() const
{
    return d->transactionId;
}
void Message::setTransactionId(quint16 transactionId)
{
    d->transactionId = transactionId;
}
bool Message::isResponse() const
{
    return d->isResponse;
}
void Message::setResponse(bool isResponse)
{
    d->isResponse = isResponse;
}
bool Message::isTruncated() const
{
    return d->isTruncated;
}
void Message::setTruncated(bool isTruncated)
{
    d->isTruncated = isTruncated;
}
const QList<Query> &Message::queries() const
{
    return d->queries;
}
void Message::addQuery(const Query &query)
{
    d->queries.append(query);
}
const QList<Record> &Message::records() const
{
    return d->records;
}
void Message::addRecord(const Record &record)
{
    d->records.append(record);
}

void Message::reply(const Message &query)
{
    d->address = query.address();
    d->port = query.port();
    d->interfaceIndex = query.interfaceIndex();
    d->transactionId = query.transactionId();
    d->isResponse = true;
}

} // namespace QMdnsEngine
