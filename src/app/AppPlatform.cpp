#include "app/AppPlatform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <time.h>

namespace {
// Long enough for a file manager that has to start first; the caller does not wait for it.
constexpr int kFileManagerTimeoutMs = 5000;
} // namespace

AppPlatform &AppPlatform::instance()
{
    static AppPlatform s;
    return s;
}

void AppPlatform::showInFolder(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    const QString uri = QUrl::fromLocalFile(canonical).toString();
    const bool isDir = info.isDir();
    const QString folder = isDir ? canonical : info.absolutePath();

    // The freedesktop file-manager interface selects the file in its folder, as the
    // Windows explorer does with "/select,". A plain method call rather than an
    // interface object: that would first introspect the service, a blocking round trip.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        emit shownInFolder(path, QDesktopServices::openUrl(QUrl::fromLocalFile(folder)));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"),
        isDir ? QStringLiteral("ShowFolders") : QStringLiteral("ShowItems"));
    call << QStringList{uri} << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kFileManagerTimeoutMs));
    connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [this, watcher, path, folder] {
        watcher->deleteLater();
        if (!watcher->isError()) {
            emit shownInFolder(path, true);
            return;
        }
        qInfo().noquote() << "showInFolder: no file manager answered: " + watcher->error().message();
        emit shownInFolder(path, QDesktopServices::openUrl(QUrl::fromLocalFile(folder)));
    });
}

void AppPlatform::sleepOneMs()
{
    timespec ts{0, 1000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
