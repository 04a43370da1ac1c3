#pragma once

#include <QHostAddress>
#include <QObject>
#include <QScopedPointer>

namespace QMdnsEngine {

class AbstractServer;
class Cache;
class ResolverPrivate;

// Asks once for the addresses of a host name and reports each distinct address
// it learns (at most maxAddresses() of them) as long as it lives.
class Resolver : public QObject
{
    Q_OBJECT

public:
    // Without a cache the resolver keeps one of its own.
    Resolver(AbstractServer *server, const QByteArray &name, Cache *cache = nullptr, QObject *parent = nullptr);
    ~Resolver() override;

    static constexpr int maxAddresses() { return 64; }

signals:
    void resolved(const QHostAddress &address);

private:
    QScopedPointer<ResolverPrivate> d;
};

} // namespace QMdnsEngine
