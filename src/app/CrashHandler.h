#pragma once

#include <QString>

// Installs the in-process crash reporter: on a fatal signal it writes a report
// (label, version, time, signal, backtrace) into <dataDir>/crashes and lets the
// signal end the process as it would have. Returns whether it is armed.
bool startCrashHandler(const QString &label, const QString &version, const QString &dataDir);

// Folder the reports of this process go to (empty before start).
QString crashReportFolder();
