#include "discovery/SavedIPLocator.h"

#include "app/SettingsKeys.h"
#include "discovery/LocatorSettings.h"

#include <QDebug>

namespace {
constexpr int kNoAddressMs = 1000;
} // namespace

SavedIPLocator::SavedIPLocator(QObject *parent)
    : LocatorStrategy(parent), m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
{
    // Reporting "nothing saved" at once would let a caller that retries on time-out spin; one
    // second paces it like a real lookup.
    m_noAddressTimer.setSingleShot(true);
    m_noAddressTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_noAddressTimer, &QTimer::timeout, this, &SavedIPLocator::reportTimeout);
}

void SavedIPLocator::startLookup()
{
    clearFlags();
    m_noAddressTimer.stop();
    const QString text = extendedSetting(m_settings, LOC_IP, QStringLiteral("0.0.0.0"));
    const QHostAddress address(text);
    if (address == QHostAddress(QHostAddress::AnyIPv4)) {
        qInfo().noquote() << "SavedIPLocator: Did not find IP a non-AnyIPv4 address in settings." << text;
        m_noAddressTimer.start(scaled(kNoAddressMs));
        return;
    }
    qInfo().noquote() << "SavedIPLocator: Have saved IP:" << text;
    reportLocated(address);
}
