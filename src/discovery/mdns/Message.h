#pragma once

#include "discovery/mdns/Query.h"
#include "discovery/mdns/Record.h"

#include <QHostAddress>
#include <QList>
#include <QScopedPointer>

namespace QMdnsEngine {

class MessagePrivate;

// One mDNS datagram: where it came from (or goes to), its header flags, its
// questions and all its records (answers, authority and additional in one list).
class Message
{
public:
    Message();
    Message(const Message &other);
    Message &operator=(const Message &other);
    ~Message();

    QHostAddress address() const;
    void setAddress(const QHostAddress &address);
    quint16 port() const;
    void setPort(quint16 port);
    // The network interface a received message arrived on, or that an answer must leave
    // by (0: unknown, or all of them).
    int interfaceIndex() const;
    void setInterfaceIndex(int index);
    quint16 transactionId() const;
    void setTransactionId(quint16 transactionId);
    bool isResponse() const;
    void setResponse(bool isResponse);
    bool isTruncated() const;
    void setTruncated(bool isTruncated);

    // By reference: iterating a returned copy would detach it and copy every element.
    const QList<Query> &queries() const;
    void addQuery(const Query &query);
    const QList<Record> &records() const;
    void addRecord(const Record &record);

    // Makes this message the answer to query: same destination, interface and transaction id.
    void reply(const Message &query);

private:
    QScopedPointer<MessagePrivate> d;
};

} // namespace QMdnsEngine

Q_DECLARE_METATYPE(QMdnsEngine::Message)
