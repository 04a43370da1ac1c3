#pragma once

#include "discovery/LocatorConfig.h"

#include <QString>

class QSettings;

// Writers used by the preferences dialog; each logs what it stored.
void alterLocatorPriority(QSettings &settings, LocatorType type, int prio);
void alterLocatorEnable(QSettings &settings, LocatorType type, bool enabled);
void alterExtendedPriority(QSettings &settings, LocatorType type, const QString &value);

// The strategy's parameter (address text for LOC_IP, host name for LOC_DNS), or defaultValue.
QString extendedSetting(QSettings &settings, LocatorType type, const QString &defaultValue);
