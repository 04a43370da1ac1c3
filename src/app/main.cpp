#include "app/AppPlatform.h"
#include "app/CommandLine.h"
#include "app/SettingsKeys.h"
#include "app/StatsClient.h"
#include "app/Startup.h"
#include "recording/FfmpegLog.h"
#include "relay/MainWindowProxy.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QMainWindow>
#include <QSettings>

#include <memory>

int main(int argc, char *argv[])
{
    // Answered before anything opens a display, the settings or the data folder.
    if (const std::optional<int> exitCode = CommandLine::handle(argc, argv))
        return *exitCode;
    QApplication app(argc, argv);

    const QString dataFolder = Startup::prepareDataFolder();
    Startup::startLogging(dataFolder);
    Startup::startCrashReporting(dataFolder);
    FfmpegLog::prepareRecording();

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
    // Logging out or kill closes the window as the user would, so a recording is finished, not cut off.
    AppPlatform::instance().watchTerminationSignals();
    QObject::connect(&AppPlatform::instance(), &AppPlatform::terminationRequested, window.get(), &QWidget::close);
    return app.exec();
}
