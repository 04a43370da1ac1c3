#include "app/CrashHandler.h"

#include "app/AppPlatform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Everything the handler needs is prepared before a crash: a handler may only
// use async-signal-safe calls, so no allocation and no Qt inside it.
char g_dir[1024];
char g_header[512];
QString g_folder;
constexpr int kSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
alignas(16) char g_altStack[64 * 1024];

size_t appendStr(char *buf, size_t pos, size_t cap, const char *s)
{
    while (*s && pos + 1 < cap)
        buf[pos++] = *s++;
    buf[pos] = '\0';
    return pos;
}

size_t appendNum(char *buf, size_t pos, size_t cap, unsigned long long v)
{
    char tmp[24];
    int n = 0;
    do {
        tmp[n++] = char('0' + v % 10);
        v /= 10;
    } while (v && n < 23);
    while (n > 0 && pos + 1 < cap)
        buf[pos++] = tmp[--n];
    buf[pos] = '\0';
    return pos;
}

const char *signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGSYS: return "SIGSYS";
    default: return "signal";
    }
}

void writeAll(int fd, const char *s, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, s, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        s += w;
        n -= size_t(w);
    }
}

void onFatalSignal(int sig, siginfo_t *, void *)
{
    const unsigned long long now = (unsigned long long)time(nullptr);
    char path[1200];
    size_t p = appendStr(path, 0, sizeof path, g_dir);
    p = appendStr(path, p, sizeof path, "crash-");
    p = appendNum(path, p, sizeof path, now);
    p = appendStr(path, p, sizeof path, "-");
    p = appendNum(path, p, sizeof path, (unsigned long long)getpid());
    appendStr(path, p, sizeof path, ".txt");

    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        char body[256];
        size_t b = appendStr(body, 0, sizeof body, "time: ");
        b = appendNum(body, b, sizeof body, now);
        b = appendStr(body, b, sizeof body, "\nsignal: ");
        b = appendNum(body, b, sizeof body, (unsigned long long)sig);
        b = appendStr(body, b, sizeof body, " ");
        b = appendStr(body, b, sizeof body, signalName(sig));
        b = appendStr(body, b, sizeof body, "\nbacktrace:\n");
        writeAll(fd, g_header, strlen(g_header));
        writeAll(fd, body, b);
        void *frames[64];
        int n = backtrace(frames, 64);
        backtrace_symbols_fd(frames, n, fd);
        close(fd);
    }
    // Let the default action finish the process (core dump, exit status).
    signal(sig, SIG_DFL);
    raise(sig);
}
} // namespace

QString crashReportFolder()
{
    return g_folder;
}

bool startCrashHandler(const QString &label, const QString &version, const QString &dataDir)
{
    qInfo() << "Starting crash handler.";
    AppPlatform::instance().setApplicationDir(QCoreApplication::applicationDirPath());

    bool ok = !dataDir.isEmpty();
    QString folder = QDir(dataDir).filePath(QStringLiteral("crashes")) + QLatin1Char('/');
    if (ok)
        ok = QDir().mkpath(folder);
    const QByteArray folderBytes = QFile::encodeName(folder);
    if (ok && size_t(folderBytes.size()) + 64 < sizeof g_dir) {
        memcpy(g_dir, folderBytes.constData(), size_t(folderBytes.size()) + 1);
        const QByteArray header = QStringLiteral("label: %1\nversion: %2\n").arg(label, version).toUtf8();
        qstrncpy(g_header, header.constData(), sizeof g_header);
        g_folder = folder;

        // Load libgcc's unwinder now: backtrace() would otherwise dlopen it
        // inside the handler on first use.
        void *warm[1];
        backtrace(warm, 1);

        stack_t ss{};
        ss.ss_sp = g_altStack;
        ss.ss_size = sizeof g_altStack;
        sigaltstack(&ss, nullptr);

        struct sigaction sa {
        };
        sa.sa_sigaction = onFatalSignal;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
        sigemptyset(&sa.sa_mask);
        for (int sig : kSignals)
            ok = sigaction(sig, &sa, nullptr) == 0 && ok;
    } else {
        ok = false;
    }
    qInfo().noquote()
        << QStringLiteral("Crashpad start: %1").arg(ok ? QStringLiteral("true") : QStringLiteral("false"));
    return ok;
}
