#include "app/Startup.h"

#include "app/AppPlatform.h"
#include "app/CrashHandler.h"
#include "app/Logging.h"
#include "app/SettingsKeys.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QStandardPaths>

QString Startup::dataFolderLocation()
{
    // The user's own writable location: the first *existing* entry of the
    // search list can be a system-wide folder on a fresh account.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return base + QLatin1Char('/') + QCoreApplication::applicationName() + QLatin1Char('/');
}

QString Startup::prepareDataFolder()
{
    const QString folder = dataFolderLocation();
    if (!QDir(folder).exists()) {
        qInfo().noquote() << "Making app path " + folder;
        if (!QDir().mkpath(folder))
            return QString();
    }
    return folder;
}

void Startup::startLogging(const QString &dataFolder, qint64 logFileLimit)
{
    // A bare "log.txt" would land in whatever folder the program was started from, and "Open log file" would then
    // show a file that may not even be ours: without a data folder there is no log file at all.
    if (dataFolder.isEmpty()) {
        qInstallMessageHandler(messageHandler);
        qWarning().noquote() << QStringLiteral("Cannot create the data folder %1; no log file, logging to standard "
                                               "output only")
                                    .arg(dataFolderLocation());
        return;
    }
    const QString logPath = dataFolder + QStringLiteral("log.txt");
    qInfo().noquote() << "Logging to " + logPath;
    const bool open = Logging::openLogFile(logPath, logFileLimit);
    qInstallMessageHandler(messageHandler);
    if (open)
        AppPlatform::instance().setLogFilePath(logPath);
    else
        qWarning().noquote()
            << QStringLiteral("Cannot open the log file %1; logging to standard output only").arg(logPath);
}

bool Startup::startCrashReporting(const QString &dataFolder)
{
    qInfo() << "Crashpad Start";
    return startCrashHandler(QString::fromLatin1(AppInfo::kCrashLabel), QString::fromLatin1(AppInfo::kVersion),
                             dataFolder);
}
