#include "discovery/LocatorSettings.h"

#include "app/SettingsKeys.h"

#include <QDebug>
#include <QSettings>

namespace {

QString keyFor(const char *pattern, LocatorType type)
{
    return QString::fromLatin1(pattern).arg(locatorKeyName(type));
}

} // namespace

void alterLocatorPriority(QSettings &settings, LocatorType type, int prio)
{
    const QString key = keyFor(SettingsKeys::kConnectPrioPrio, type);
    settings.setValue(key, prio);
    qInfo().noquote() << "alterLocatorPriority" << key << "set to" << prio;
}

void alterLocatorEnable(QSettings &settings, LocatorType type, bool enabled)
{
    const QString key = keyFor(SettingsKeys::kConnectPrioChecked, type);
    settings.setValue(key, enabled);
    qInfo().noquote() << "alterLocatorEnable" << key << "set to" << enabled;
}

void alterExtendedPriority(QSettings &settings, LocatorType type, const QString &value)
{
    const QString key = keyFor(SettingsKeys::kConnectPrioExtended, type);
    settings.setValue(key, value);
    qInfo().noquote() << "alterExtendedPriority" << key << "set to" << value;
}

QString extendedSetting(QSettings &settings, LocatorType type, const QString &defaultValue)
{
    return settings.value(keyFor(SettingsKeys::kConnectPrioExtended, type), defaultValue).toString();
}
