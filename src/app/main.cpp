#include "app/SettingsKeys.h"
#include "app/StatsClient.h"
#include "app/Startup.h"
#include "relay/MainWindowProxy.h"
#include "ui/MainWindow.h"

#include <QApplication>
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

    // Exactly one top-level window, chosen once per start: the remote desktop, or the relay server.
    std::unique_ptr<QMainWindow> window;
    if (settings.value(SettingsKeys::kProxyMode, false).toBool()) {
        window.reset(new MainWindowProxy);
    } else {
        window.reset(new MainWindow);
    }
    window->show();
    return app.exec();
}
