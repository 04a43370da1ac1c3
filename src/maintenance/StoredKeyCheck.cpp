#include "maintenance/StoredKeyCheck.h"

#include "app/SettingsKeys.h"
#include "maintenance/ConfigRecord.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QErrorMessage>
#include <QSettings>
#include <QTimer>

namespace {

StoredKeyCheck::Reporter &reporter()
{
    static StoredKeyCheck::Reporter r;
    return r;
}

void report(const QString &text)
{
    if (reporter()) {
        reporter()(text);
        return;
    }
    auto *dialog = new QErrorMessage();
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->showMessage(text);
}

} // namespace

void StoredKeyCheck::setReporter(Reporter r)
{
    reporter() = std::move(r);
}

void StoredKeyCheck::checkStoredKey()
{
    static QTimer *timer = nullptr;
    if (!timer) {
        timer = new QTimer();
        timer->setInterval(kPeriodMs);
        QObject::connect(timer, &QTimer::timeout, [] { checkStoredKey(); });
        timer->start();
        return;
    }

    QSettings settings(QString::fromLatin1(SettingsKeys::kOrganisation),
                       QString::fromLatin1(SettingsKeys::kApplication));
    const QString key = QString::fromLatin1(SettingsKeys::kNetPsk);
    if (!settings.contains(key))
        return;
    const QByteArray stored = settings.value(key).toByteArray();
    bool failed = false;
    if (stored.size() != ConfigRecord::kKeyLength) {
        qInfo() << "Ran into a incorrect length key!";
        report(QStringLiteral("Security Key check failed (KEYLEN). Please contact developer"));
        failed = true;
    }
    const int index = ConfigRecord::blacklistIndex(stored);
    if (index >= 0) {
        qInfo() << "Ran into a blacklisted key! Idx:" << index
                << QCryptographicHash::hash(stored, QCryptographicHash::Sha256).toHex();
        report(QStringLiteral("Security Key check failed (BLACKLIST %1). Please contact developer").arg(index));
        failed = true;
    }
    if (failed)
        settings.remove(key);
}
