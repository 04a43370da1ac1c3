#include "discovery/DnsLookup.h"

#include "app/SettingsKeys.h"
#include "discovery/LocatorSettings.h"

#include <QDebug>

namespace {
constexpr int kLookupTimeoutMs = 5000;
} // namespace

DnsLookup::DnsLookup(QObject *parent)
    : LocatorStrategy(parent), m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &DnsLookup::lookupTimedOut);
}

DnsLookup::~DnsLookup()
{
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(m_lookupId);
}

void DnsLookup::startLookup()
{
    clearFlags();
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(m_lookupId);
    m_timer.start(scaled(kLookupTimeoutMs));
    const QString name = extendedSetting(m_settings, LOC_DNS, QString());
    qInfo().noquote() << "DnsLookup: Send request for" << name;
    m_lookupId = QHostInfo::lookupHost(name, this, SLOT(lookupResult(QHostInfo)));
}

void DnsLookup::lookupTimedOut()
{
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    m_timer.stop();
    qInfo().noquote() << "DnsLookup: DNS Timeout";
    reportTimeout();
}

void DnsLookup::lookupResult(const QHostInfo &info)
{
    // A result of an earlier, already abandoned lookup must not answer the current request.
    if (m_timedOut || info.lookupId() != m_lookupId) {
        qWarning().noquote() << "DnsLookup: Discarding DNS Lookup result as timeout already fired";
        return;
    }
    const QList<QHostAddress> addresses = info.addresses();
    if (addresses.isEmpty()) {
        // The timer ends the request; a resolver failure is not reported any sooner.
        qInfo().noquote() << "DnsLookup: Got" << addresses.size() << " addresses, used, expected nonzero";
        return;
    }
    m_timer.stop();
    m_lookupId = -1;
    qInfo().noquote() << "DnsLookup: Got" << addresses.size() << " addresses, used" << addresses.first().toString();
    reportLocated(addresses.first());
}
