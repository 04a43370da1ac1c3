#include "app/SettingsKeys.h"
#include "app/StatsClient.h"
#include "app/Startup.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QSettings>

#include <memory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    const QString dataFolder = Startup::prepareDataFolder();
    Startup::startLogging(dataFolder);
    Startup::startCrashReporting(dataFolder);

    QSettings settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    StatsClient::instance();

    std::unique_ptr<QMainWindow> window(new QMainWindow);
    if (settings.value(SettingsKeys::kProxyMode, false).toBool())
        window->setWindowTitle(QStringLiteral("VQ6020 Proxy"));
    else
        window->setWindowTitle(QStringLiteral("IC7300 Remote Desktop"));
    window->setCentralWidget(new QLabel(QStringLiteral("Waiting for the unit")));
    window->show();
    return app.exec();
}
