#pragma once

#include <QByteArray>
#include <QDebug>
#include <QMap>
#include <QScopedPointer>

namespace QMdnsEngine {

class ServicePrivate;

// A DNS-SD service instance as seen by a browser or offered by a provider.
class Service
{
public:
    Service();
    Service(const Service &other);
    Service &operator=(const Service &other);
    ~Service();

    // The host name does not take part: a service that only moved to another
    // host is the same service.
    bool operator==(const Service &other) const;
    bool operator!=(const Service &other) const { return !(*this == other); }

    QByteArray type() const;
    void setType(const QByteArray &type);
    QByteArray name() const;
    void setName(const QByteArray &name);
    QByteArray hostname() const;
    void setHostname(const QByteArray &hostname);
    quint16 port() const;
    void setPort(quint16 port);
    QMap<QByteArray, QByteArray> attributes() const;
    void setAttributes(const QMap<QByteArray, QByteArray> &attributes);
    void addAttribute(const QByteArray &key, const QByteArray &value);

    // "Service(name: N, type: T, hostname: H, port: P, attributes: QMap((k, v)))", used in log lines.
    QString toString() const;

private:
    QScopedPointer<ServicePrivate> d;
};

QDebug operator<<(QDebug debug, const Service &service);

} // namespace QMdnsEngine

Q_DECLARE_METATYPE(QMdnsEngine::Service)
