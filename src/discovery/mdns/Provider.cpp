#include "discovery/mdns/Provider.h"

#include "discovery/mdns/AbstractServer.h"
#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Hostname.h"
#include "discovery/mdns/Pacer.h"
#include "discovery/mdns/Prober.h"

#include <utility>

namespace QMdnsEngine {

class ProviderPrivate
{
public:
    ProviderPrivate(Provider *q, AbstractServer *server, Hostname *hostname) : q(q), server(server), hostname(hostname)
    {
        browsePtrProposed.setName(MdnsBrowseType);
        browsePtrProposed.setType(PTR);
        browsePtrProposed.setTtl(MdnsOtherRecordTtl);
        // Pointers are shared (many instances answer one type); SRV and TXT are ours alone,
        // so they tell caches to drop whatever else they hold under the name.
        ptrProposed.setType(PTR);
        ptrProposed.setTtl(MdnsOtherRecordTtl);
        srvProposed.setType(SRV);
        srvProposed.setTtl(MdnsHostRecordTtl);
        srvProposed.setFlushCache(true);
        txtProposed.setType(TXT);
        txtProposed.setTtl(MdnsOtherRecordTtl);
        txtProposed.setFlushCache(true);
    }

    void confirm();
    void farewell();
    void publish();
    void onNameConfirmed(const QByteArray &name);
    void onHostnameChanged(const QByteArray &name);
    void onMessageReceived(const Message &message);

    Provider *q;
    AbstractServer *server;
    Hostname *hostname;
    Prober *prober = nullptr;
    Pacer pacer;
    double speed = 1.0;
    bool initialized = false;
    bool confirmed = false;
    QByteArray requestedName;

    Record browsePtrProposed, ptrProposed, srvProposed, txtProposed;
    Record browsePtr, ptr, srv, txt;
};

void ProviderPrivate::confirm()
{
    delete prober;
    // After a host name change we probe a name we still publish: our own answers come back.
    QList<Record> own;
    if (confirmed)
        own = {srv};
    prober = new Prober(server, srvProposed, own, q);
    prober->setTimeScale(speed);
    QObject::connect(prober, &Prober::nameConfirmed, q, [this](const QByteArray &name) { onNameConfirmed(name); });
}

void ProviderPrivate::farewell()
{
    Message message;
    message.setResponse(true);
    for (Record record : {ptr, srv, txt}) {
        record.setTtl(0);
        message.addRecord(record);
    }
    server->sendToGroups(message);
}

void ProviderPrivate::publish()
{
    browsePtr = browsePtrProposed;
    ptr = ptrProposed;
    srv = srvProposed;
    txt = txtProposed;
    Message message;
    message.setResponse(true);
    message.addRecord(ptr);
    message.addRecord(srv);
    message.addRecord(txt);
    server->sendToGroups(message);
}

void ProviderPrivate::onNameConfirmed(const QByteArray &name)
{
    if (confirmed)
        farewell();
    ptrProposed.setTarget(name);
    srvProposed.setName(name);
    txtProposed.setName(name);
    publish();
    confirmed = true;
    if (prober) {
        prober->deleteLater();
        prober = nullptr;
    }
}

void ProviderPrivate::onHostnameChanged(const QByteArray &name)
{
    srvProposed.setTarget(name);
    if (initialized)
        confirm();
}

void ProviderPrivate::onMessageReceived(const Message &message)
{
    if (!confirmed || message.isResponse())
        return;
    const QList<Record> known = message.records();
    bool sendBrowsePtr = false, sendPtr = false, sendSrv = false, sendTxt = false;
    for (const Query &query : message.queries()) {
        if (query.type() == PTR && sameName(query.name(), MdnsBrowseType)) {
            sendBrowsePtr = true;
        } else if (query.type() == PTR && sameName(query.name(), ptr.name())) {
            sendPtr = true;
        } else if (sameName(query.name(), srv.name())) {
            // ANY comes from other responders probing for this very name.
            sendSrv = sendSrv || query.type() == SRV || query.type() == ANY;
            sendTxt = sendTxt || query.type() == TXT || query.type() == ANY;
        }
    }
    if (sendBrowsePtr && known.contains(browsePtr))
        sendBrowsePtr = false;
    if (sendPtr && known.contains(ptr))
        sendPtr = false;
    if (sendPtr) {
        // The instance's details always travel with its pointer.
        sendSrv = true;
        sendTxt = true;
    } else {
        if (sendSrv && known.contains(srv))
            sendSrv = false;
        if (sendTxt && known.contains(txt))
            sendTxt = false;
    }
    if (!sendBrowsePtr && !sendPtr && !sendSrv && !sendTxt)
        return;

    Message reply;
    reply.reply(message);
    const bool probe = Pacer::isProbe(message);
    for (const auto &[wanted, record] : {std::make_pair(sendBrowsePtr, &browsePtr), std::make_pair(sendPtr, &ptr),
                                         std::make_pair(sendSrv, &srv), std::make_pair(sendTxt, &txt)}) {
        if (wanted && pacer.allow(*record, message, probe))
            reply.addRecord(*record);
    }
    if (!reply.records().isEmpty())
        server->sendToGroups(reply);
}

Provider::Provider(AbstractServer *server, Hostname *hostname, QObject *parent)
    : QObject(parent), d(new ProviderPrivate(this, server, hostname))
{
    connect(hostname, &Hostname::hostnameChanged, this, [this](const QByteArray &name) { d->onHostnameChanged(name); });
    // A service handed over while the host name was being re-checked (same name, so no
    // change signal) is probed once the name is registered again.
    connect(hostname, &Hostname::hostnameRegistered, this, [this](const QByteArray &name) {
        if (d->initialized && !d->confirmed && !d->prober) {
            d->srvProposed.setTarget(name);
            d->confirm();
        }
    });
    connect(server, &AbstractServer::messageReceived, this, [this](const Message &m) { d->onMessageReceived(m); });
}

Provider::~Provider()
{
    if (d->confirmed)
        d->farewell();
}

void Provider::setClock(const Clock *clock)
{
    d->pacer.setClock(clock);
}

void Provider::setTimeScale(double speed)
{
    d->speed = speed;
    if (d->prober)
        d->prober->setTimeScale(speed);
}

void Provider::publishService(const Service &service)
{
    QByteArray label = service.name();
    label.replace('.', '-');
    const QByteArray fullName = label + '.' + service.type();
    const bool nameChanged = fullName != d->requestedName;
    d->requestedName = fullName;
    // A re-publication of the same instance keeps the name its probe settled on
    // (possibly numbered); only a new instance name is probed again.
    const QByteArray name = !nameChanged && d->confirmed ? d->srv.name() : fullName;

    d->browsePtrProposed.setTarget(service.type());
    d->ptrProposed.setName(service.type());
    d->ptrProposed.setTarget(name);
    d->srvProposed.setName(name);
    d->srvProposed.setPort(service.port());
    d->srvProposed.setTarget(d->hostname->hostName());
    d->txtProposed.setName(name);
    d->txtProposed.setAttributes(service.attributes());

    if (d->hostname->isConfirmed()) {
        if (!d->confirmed || nameChanged)
            d->confirm();
        else
            d->publish();
    }
    d->initialized = true;
}

} // namespace QMdnsEngine
