#include "discovery/mdns/Service.h"

namespace QMdnsEngine {

class ServicePrivate
{
public:
    QByteArray type;
    QByteArray name;
    QByteArray hostname;
    quint16 port = 0;
    QMap<QByteArray, QByteArray> attributes;
};

Service::Service() : d(new ServicePrivate) {}
Service::Service(const Service &other) : d(new ServicePrivate(*other.d)) {}
Service &Service::operator=(const Service &other)
{
    *d = *other.d;
    return *this;
}
Service::~Service() = default;

bool Service::operator==(const Service &other) const
{
    return d->type == other.d->type && d->name == other.d->name && d->port == other.d->port &&
           d->attributes == other.d->attributes;
}

QByteArray Service::type() const
{
    return d->type;
}
void Service::setType(const QByteArray &type)
{
    d->type = type;
}
QByteArray Service::name() const
{
    return d->name;
}
void Service::setName(const QByteArray &name)
{
    d->name = name;
}
QByteArray Service::hostname() const
{
    return d->hostname;
}
void Service::setHostname(const QByteArray &hostname)
{
    d->hostname = hostname;
}
quint16 Service::port() const
{
    return d->port;
}
void Service::setPort(quint16 port)
{
    d->port = port;
}
QMap<QByteArray, QByteArray> Service::attributes() const
{
    return d->attributes;
}
void Service::setAttributes(const QMap<QByteArray, QByteArray> &attributes)
{
    d->attributes = attributes;
}
void Service::addAttribute(const QByteArray &key, const QByteArray &value)
{
    d->attributes.insert(key, value);
}

QString Service::toString() const
{
    QString attributes = QStringLiteral("QMap(");
    for (auto i = d->attributes.cbegin(); i != d->attributes.cend(); ++i)
        attributes += QStringLiteral("(%1, %2)").arg(QString::fromUtf8(i.key()), QString::fromUtf8(i.value()));
    attributes += QLatin1Char(')');
    return QStringLiteral("Service(name: %1, type: %2, hostname: %3, port: %4, attributes: %5)")
        .arg(QString::fromUtf8(d->name), QString::fromUtf8(d->type), QString::fromUtf8(d->hostname))
        .arg(d->port)
        .arg(attributes);
}

QDebug operator<<(QDebug debug, const Service &service)
{
    QDebugStateSaver saver(debug);
    debug.noquote() << service.toString();
    return debug;
}

} // namespace QMdnsEngine
