#pragma once

#include <QString>

// The steps of start-up that come before a window exists, in their fixed order.
namespace Startup {

// The per-user data folder with a trailing "/": the platform's generic data
// location plus the application (executable) name. Created when missing, which
// logs "Making app path <folder>". Empty if it cannot be created.
QString prepareDataFolder();

// Stores the log path in AppPlatform, logs "Logging to <path>", opens the file
// (truncating it) and installs the message handler.
void startLogging(const QString &dataFolder);

// Logs "Crashpad Start" and arms the crash handler with the product's label and version.
bool startCrashReporting(const QString &dataFolder);

} // namespace Startup
