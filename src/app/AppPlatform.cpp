#include "app/AppPlatform.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <time.h>

AppPlatform &AppPlatform::instance()
{
    static AppPlatform s;
    return s;
}

bool AppPlatform::showInFolder(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    const QString uri = QUrl::fromLocalFile(canonical).toString();
    const bool isDir = info.isDir();

    // The freedesktop file-manager interface selects the file in its folder,
    // as the Windows explorer does with "/select,".
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusInterface fm(QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
                          QStringLiteral("org.freedesktop.FileManager1"), bus);
        if (fm.isValid()) {
            QDBusMessage reply = fm.call(isDir ? QStringLiteral("ShowFolders") : QStringLiteral("ShowItems"),
                                         QStringList{uri}, QString());
            if (reply.type() == QDBusMessage::ReplyMessage)
                return true;
            qInfo().noquote() << "showInFolder: file manager refused:" << reply.errorMessage();
        }
    }
    const QString folder = isDir ? canonical : info.absolutePath();
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void AppPlatform::sleepOneMs()
{
    timespec ts{0, 1000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
