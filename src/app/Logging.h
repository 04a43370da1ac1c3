#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The one global message handler: every line goes to standard output and, once
// a log file is open, to the file, as "<timestamp> [LEVEL] <text>".
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

namespace Logging {
QString formatLine(QtMsgType type, const QString &msg, const QDateTime &when);
// Past this size a run writes no more to its log file: something that floods
// the log must not fill the disk. Standard output still gets every line.
constexpr qint64 kDefaultLogFileLimit = qint64(100) * 1024 * 1024;
// Opens the file write-only with truncation; on failure logging stays on
// standard output only. Returns whether the file is open. Once a line would
// take the file past limitBytes, one last line says so and the file is left alone.
bool openLogFile(const QString &path, qint64 limitBytes = kDefaultLogFileLimit);
void closeLogFile();
} // namespace Logging
