#include "discovery/LocatorConfig.h"

#include "app/SettingsKeys.h"

#include <QMetaEnum>
#include <QSettings>

QString locatorKeyName(LocatorType type)
{
    const char *key = QMetaEnum::fromType<LocatorType>().valueToKey(int(type));
    return key ? QString::fromLatin1(key) : QString::number(int(type));
}

namespace {

struct Default {
    LocatorType type;
    int prio;
    bool checked;
};

// Out of the box a relay on the LAN wins over the unit itself; the saved address and DNS name are
// opt-in because they need a value first.
constexpr Default kDefaults[] = {
    {LOC_PROXY_MDNS, 0, true},
    {LOC_DIRECT_MDNS, 1, true},
    {LOC_IP, 2, false},
    {LOC_DNS, 3, false},
};

} // namespace

LocatorConfig LocatorConfig::load(QSettings &settings)
{
    LocatorConfig config;
    for (const Default &d : kDefaults) {
        const QString name = locatorKeyName(d.type);
        const int prio = settings.value(QString::fromLatin1(SettingsKeys::kConnectPrioPrio).arg(name), d.prio).toInt();
        const bool checked =
            settings.value(QString::fromLatin1(SettingsKeys::kConnectPrioChecked).arg(name), d.checked).toBool();
        config.order.insert(prio, d.type);
        config.enabled.insert(d.type, checked);
    }
    return config;
}

bool LocatorConfig::anyEnabled() const
{
    for (bool on : enabled)
        if (on)
            return true;
    return false;
}

bool LocatorConfig::operator==(const LocatorConfig &other) const
{
    return order == other.order && enabled == other.enabled;
}
