#pragma once

#include "discovery/LocatorStrategy.h"

#include <QHostInfo>
#include <QSettings>
#include <QTimer>

// A host name from the preferences, resolved by the system resolver (hosts file, DNS, ...).
class DnsLookup : public LocatorStrategy
{
    Q_OBJECT
public:
    explicit DnsLookup(QObject *parent = nullptr);
    ~DnsLookup() override;

public slots:
    void startLookup() override;

private slots:
    void lookupTimedOut();
    void lookupResult(const QHostInfo &info);

private:
    QSettings m_settings;
    QTimer m_timer;
    int m_lookupId = -1;
};
