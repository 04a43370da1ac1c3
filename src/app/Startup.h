#pragma once

#include "app/Logging.h"

#include <QString>

// The steps of start-up that come before a window exists, in their fixed order.
namespace Startup {

// The per-user data folder with a trailing "/": the platform's generic data
// location plus the application (executable) name. Created when missing, which
// logs "Making app path <folder>". Empty if it cannot be created.
QString prepareDataFolder();

// The data folder as prepareDataFolder computes it, whether it exists or not.
QString dataFolderLocation();

// Logs "Logging to <path>", opens the file (truncating it), stores its path in
// AppPlatform and installs the message handler. Without a data folder, or when
// the file cannot be opened, it says so and logs to standard output only; the
// log path in AppPlatform then stays empty, so nothing offers to show a log file.
void startLogging(const QString &dataFolder, qint64 logFileLimit = Logging::kDefaultLogFileLimit);

// Logs "Crashpad Start" and arms the crash handler with the product's label and version.
bool startCrashReporting(const QString &dataFolder);

} // namespace Startup
