// A stand-in for the client's entry point that runs the real start-up steps and then
// does one thing the shell tests need to watch from outside: log, log from two
// threads at once, flood the log, or crash. "flood <limit> <lines>" starts logging
// with that log file limit; every mode ends by naming the log file it would show.

#include "app/AppPlatform.h"
#include "app/Startup.h"

#include <QCoreApplication>
#include <QDebug>
#include <QString>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {
void logFromTwoThreads(int perThread)
{
    std::atomic<int> ready{0};
    // A long text makes a torn line likely if writes were not serialised.
    const QString padding(180, QLatin1Char('x'));
    auto run = [&](char name) {
        ++ready;
        while (ready.load() < 2) {
        }
        for (int i = 0; i < perThread; ++i)
            qWarning().noquote() << QStringLiteral("thread %1 seq %2 %3").arg(QLatin1Char(name)).arg(i).arg(padding);
    };
    std::thread a(run, 'A');
    std::thread b(run, 'B');
    a.join();
    b.join();
}

[[noreturn]] void crash(const QString &how)
{
    if (how == QLatin1String("segv")) {
        volatile int *p = nullptr;
        *p = 1;
    } else if (how == QLatin1String("fatal")) {
        qFatal("probe fatal");
    } else if (how == QLatin1String("fpe")) {
        raise(SIGFPE);
    }
    abort();
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);

    const QString dataFolder = Startup::prepareDataFolder();
    if (mode == QLatin1String("flood"))
        Startup::startLogging(dataFolder, args.value(2).toLongLong());
    else
        Startup::startLogging(dataFolder);
    Startup::startCrashReporting(dataFolder);

    if (mode == QLatin1String("levels")) {
        qDebug().noquote() << "probe debug";
        qInfo().noquote() << "probe info" << args.value(2);
        qWarning().noquote() << "probe warning";
        qCritical().noquote() << "probe critical";
    } else if (mode == QLatin1String("threads")) {
        logFromTwoThreads(args.value(2).toInt());
    } else if (mode == QLatin1String("flood")) {
        const int lines = args.value(3).toInt();
        for (int i = 0; i < lines; ++i)
            qInfo().noquote()
                << QStringLiteral("flood %1 %2").arg(i, 6, 10, QLatin1Char('0')).arg(QString(60, QLatin1Char('f')));
    } else if (mode == QLatin1String("crash")) {
        crash(args.value(2));
    }
    printf("log file to show: [%s]\n", qPrintable(AppPlatform::instance().logFilePath()));
    return 0;
}
