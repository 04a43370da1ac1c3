#pragma once

#include <QMap>
#include <QObject>
#include <QString>

class QSettings;

// The four ways of finding the unit. Registered with the meta-object system because the key names
// are part of the settings keys and of log lines.
namespace LocatorTypes {
Q_NAMESPACE
enum LocatorType : int {
    LOC_DIRECT_MDNS = 0,
    LOC_PROXY_MDNS = 1,
    LOC_IP = 2,
    LOC_DNS = 3,
};
Q_ENUM_NS(LocatorType)
} // namespace LocatorTypes

using LocatorType = LocatorTypes::LocatorType;
using LocatorTypes::LOC_DIRECT_MDNS;
using LocatorTypes::LOC_DNS;
using LocatorTypes::LOC_IP;
using LocatorTypes::LOC_PROXY_MDNS;

// "LOC_IP" for LOC_IP; the number for a value outside the enumeration.
QString locatorKeyName(LocatorType type);

// The search order and enabled set as the user keeps them in the settings store.
struct LocatorConfig {
    QMap<int, LocatorType> order; // position -> type, position 0 tried first
    QMap<LocatorType, bool> enabled;

    // Reads LOC_PROXY_MDNS, LOC_DIRECT_MDNS, LOC_IP, LOC_DNS in that order; two types on the same
    // position leave the one read later.
    static LocatorConfig load(QSettings &settings);

    bool anyEnabled() const;

    bool operator==(const LocatorConfig &other) const;
    bool operator!=(const LocatorConfig &other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(LocatorTypes::LocatorType)
