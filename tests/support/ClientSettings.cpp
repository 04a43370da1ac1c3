#include "support/ClientSettings.h"

#include "app/SettingsKeys.h"
#include "discovery/LocatorSettings.h"

#include <QSettings>

void ClientSettings::useSavedAddressOnly(const QByteArray &key, const QString &address)
{
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.clear();
    if (!key.isEmpty())
        s.setValue(SettingsKeys::kNetPsk, key);
    alterLocatorEnable(s, LOC_PROXY_MDNS, false);
    alterLocatorEnable(s, LOC_DIRECT_MDNS, false);
    alterLocatorEnable(s, LOC_DNS, false);
    alterLocatorEnable(s, LOC_IP, true);
    alterExtendedPriority(s, LOC_IP, address);
    s.sync();
}
