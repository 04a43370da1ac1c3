#include "recording/OutputNames.h"

#include <QDir>
#include <QFileInfo>

QString OutputNames::recordingName(const QDateTime &at)
{
    return at.toString(QStringLiteral("'Radio Recording 'yyyy-MM-dd' at 'hh.mm.ss AP'.mp4'"));
}

QString OutputNames::snapshotName(const QDateTime &at)
{
    return at.toString(QStringLiteral("'Radio Screenshot 'yyyy-MM-dd' at 'hh.mm.ss AP'.png'"));
}

QString OutputNames::freePath(const QString &folder, const QString &name, const QString &avoid)
{
    const QString base = folder + QDir::separator();
    QString path = base + name;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString ext = dot > 0 ? name.mid(dot) : QString();
    for (int n = 2; QFileInfo::exists(path) || path == avoid; ++n)
        path = base + QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(ext);
    return path;
}

QString OutputNames::folderProblem(const QString &folder)
{
    if (folder.isEmpty())
        return QStringLiteral("no folder chosen");
    if (!QDir::isAbsolutePath(folder))
        return QStringLiteral("%1 is not an absolute path").arg(folder);
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("%1 does not exist").arg(folder);
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder").arg(folder);
    if (!info.isWritable())
        return QStringLiteral("%1 is not writable").arg(folder);
    return QString();
}
