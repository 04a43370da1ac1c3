#pragma once

#include "discovery/mdns/Service.h"

#include <QObject>
#include <QScopedPointer>

namespace QMdnsEngine {

class AbstractServer;
class BrowserPrivate;
class Cache;

// Keeps browsing for the instances of one service type and reports them as they
// come, change and go. Holds at most maxServices() services at a time.
class Browser : public QObject
{
    Q_OBJECT

public:
    // Without a cache the browser keeps one of its own.
    Browser(AbstractServer *server, const QByteArray &type, Cache *cache = nullptr, QObject *parent = nullptr);
    ~Browser() override;

    static constexpr int maxServices() { return 256; }

signals:
    void serviceAdded(const QMdnsEngine::Service &service);
    void serviceUpdated(const QMdnsEngine::Service &service);
    void serviceRemoved(const QMdnsEngine::Service &service);

private:
    QScopedPointer<BrowserPrivate> d;
};

} // namespace QMdnsEngine
