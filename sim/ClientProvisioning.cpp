#include "ClientProvisioning.h"

#include "app/SettingsKeys.h"

#include <QDebug>
#include <QSettings>

namespace ClientProvisioning {

void provision(const QByteArray &key, const QString &address)
{
    QSettings settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    const QString checked = QString::fromLatin1(SettingsKeys::kConnectPrioChecked).arg(QStringLiteral("LOC_IP"));
    const QString extended = QString::fromLatin1(SettingsKeys::kConnectPrioExtended).arg(QStringLiteral("LOC_IP"));
    settings.setValue(QString::fromLatin1(SettingsKeys::kNetPsk), key);
    settings.setValue(checked, true);
    settings.setValue(extended, address);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qWarning().noquote()
            << QStringLiteral("Provisioning the client failed: cannot write %1").arg(settings.fileName());
        return;
    }
    qInfo().noquote() << QStringLiteral("Provisioned the client: %1 = 16-byte key, %2 = true, %3 = %4 in %5")
                             .arg(QLatin1String(SettingsKeys::kNetPsk), checked, extended, address,
                                  settings.fileName());
}

} // namespace ClientProvisioning
