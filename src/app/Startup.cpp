#include "app/Startup.h"

#include "app/AppPlatform.h"
#include "app/CrashHandler.h"
#include "app/Logging.h"
#include "app/SettingsKeys.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QStandardPaths>

QString Startup::prepareDataFolder()
{
    // The user's own writable location: the first *existing* entry of the
    // search list can be a system-wide folder on a fresh account.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString folder = base + QLatin1Char('/') + QCoreApplication::applicationName() + QLatin1Char('/');
    if (!QDir(folder).exists()) {
        qInfo().noquote() << "Making app path " + folder;
        if (!QDir().mkpath(folder))
            return QString();
    }
    return folder;
}

void Startup::startLogging(const QString &dataFolder)
{
    const QString logPath = dataFolder + QStringLiteral("log.txt");
    AppPlatform::instance().setLogFilePath(logPath);
    qInfo().noquote() << "Logging to " + logPath;
    if (!dataFolder.isEmpty())
        Logging::openLogFile(logPath);
    qInstallMessageHandler(messageHandler);
}

bool Startup::startCrashReporting(const QString &dataFolder)
{
    qInfo() << "Crashpad Start";
    return startCrashHandler(QString::fromLatin1(AppInfo::kCrashLabel), QString::fromLatin1(AppInfo::kVersion),
                             dataFolder);
}
