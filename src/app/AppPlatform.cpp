#include "app/AppPlatform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {
// Long enough for a file manager that has to start first; the caller does not wait for it.
constexpr int kFileManagerTimeoutMs = 5000;

// Written by the signal handler, read in the GUI thread: the only things a handler may safely do is write a byte.
int s_signalPipe[2] = {-1, -1};

void onTerminationSignal(int sig)
{
    const int saved = errno;
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(s_signalPipe[1], &byte, 1);
    errno = saved;
}
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

void AppPlatform::watchTerminationSignals()
{
    if (m_watchingSignals)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_signalPipe) != 0) {
        qWarning().noquote() << "Cannot watch termination signals: no socket pair";
        return;
    }
    ::fcntl(s_signalPipe[1], F_SETFL, O_NONBLOCK);
    m_watchingSignals = true;
    auto *notifier = new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(s_signalPipe[0], &byte, 1) == 1) {
            qInfo().noquote() << QStringLiteral("Signal %1 received, closing").arg(int(byte));
            emit terminationRequested(int(byte));
        }
    });
    struct sigaction sa = {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}
