#pragma once

#include <QDateTime>
#include <QString>

// Names of recordings and stills, and where they may go.
namespace OutputNames {

// "Radio Recording 2024-03-05 at 09.41.07 PM.mp4" for that local time.
QString recordingName(const QDateTime &at);
// "Radio Screenshot 2024-03-05 at 09.41.07 PM.png" for that local time.
QString snapshotName(const QDateTime &at);

// folder + separator + name, or, when that file exists or equals avoid, the first of "name (2).ext",
// "name (3).ext", ... that does not: two outputs in the same second never share a file.
QString freePath(const QString &folder, const QString &name, const QString &avoid = QString());

// Why folder cannot take an output ("" when it can): empty, relative, missing, not a folder, not writable.
QString folderProblem(const QString &folder);

} // namespace OutputNames
