#pragma once

#include <QByteArray>
#include <QDebug>
#include <QScopedPointer>

namespace QMdnsEngine {

class QueryPrivate;

// One question of an mDNS message.
class Query
{
public:
    Query();
    Query(const Query &other);
    Query &operator=(const Query &other);
    ~Query();

    bool operator==(const Query &other) const;

    QByteArray name() const;
    void setName(const QByteArray &name);
    quint16 type() const;
    void setType(quint16 type);
    bool unicastResponse() const;
    void setUnicastResponse(bool unicastResponse);

private:
    QScopedPointer<QueryPrivate> d;
};

QDebug operator<<(QDebug debug, const Query &query);

} // namespace QMdnsEngine

Q_DECLARE_METATYPE(QMdnsEngine::Query)
