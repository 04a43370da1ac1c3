#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The one global message handler: every line goes to standard output and, once
// a log file is open, to the file, as "<timestamp> [LEVEL] <text>".
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

namespace Logging {
QString formatLine(QtMsgType type, const QString &msg, const QDateTime &when);
// Opens the file write-only with truncation; on failure logging stays on
// standard output only. Returns whether the file is open.
bool openLogFile(const QString &path);
void closeLogFile();
} // namespace Logging
