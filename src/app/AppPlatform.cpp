#include "app/AppPlatform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <time.h>

namespace {
// Long enough for a file manager that has to start first, short enough for a user.
constexpr int kFileManagerTimeoutMs = 5000;
} // namespace

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

    // The freedesktop file-manager interface selects the file in its folder, as the
    // Windows explorer does with "/select,". A plain method call rather than an
    // interface object: that would first introspect the service, a second blocking
    // round trip, and the GUI thread waits here.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"),
            isDir ? QStringLiteral("ShowFolders") : QStringLiteral("ShowItems"));
        call << QStringList{uri} << QString();
        const QDBusMessage reply = bus.call(call, QDBus::Block, kFileManagerTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return true;
        qInfo().noquote() << "showInFolder: no file manager answered: " + reply.errorMessage();
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
