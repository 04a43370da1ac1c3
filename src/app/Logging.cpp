#include "app/Logging.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {
QMutex g_logMutex;
std::unique_ptr<QFile> g_logFile;
std::unique_ptr<QTextStream> g_logStream;
qint64 g_logLimit = Logging::kDefaultLogFileLimit;

// Called with the log mutex held.
void writeToFile(const QString &line)
{
    if (!g_logStream)
        return;
    // pos() after each flush is what the file holds; a line counts with its end of line.
    if (g_logFile->pos() + line.toUtf8().size() + 1 > g_logLimit) {
        const QString notice = Logging::formatLine(
            QtWarningMsg,
            QStringLiteral("Log file reached %1 bytes; further messages go to standard output only").arg(g_logLimit),
            QDateTime::currentDateTime());
        *g_logStream << notice << '\n';
        g_logStream->flush();
        g_logStream.reset();
        g_logFile.reset();
        const QByteArray console = notice.toLatin1() + '\n';
        fwrite(console.constData(), 1, size_t(console.size()), stdout);
        fflush(stdout);
        return;
    }
    *g_logStream << line << '\n';
    g_logStream->flush();
}
} // namespace

QString Logging::formatLine(QtMsgType type, const QString &msg, const QDateTime &when)
{
    const char *tmpl = "%2 [INFO ] %1";
    switch (type) {
    case QtDebugMsg: tmpl = "%2 [DEBUG] %1"; break;
    case QtWarningMsg: tmpl = "%2 [WARN ] %1"; break;
    case QtCriticalMsg: tmpl = "%2 [CRITI] %1"; break;
    case QtFatalMsg: tmpl = "%2 [FATAL] %1"; break;
    case QtInfoMsg: tmpl = "%2 [INFO ] %1"; break;
    }
    return QString::fromLatin1(tmpl).arg(msg, when.toString(QStringLiteral("yyyy.MM.dd hh.mm.ss.zzz")));
}

bool Logging::openLogFile(const QString &path, qint64 limitBytes)
{
    QMutexLocker lock(&g_logMutex);
    g_logLimit = limitBytes;
    g_logStream.reset();
    g_logFile.reset(new QFile(path));
    if (!g_logFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        g_logFile.reset();
        return false;
    }
    g_logStream.reset(new QTextStream(g_logFile.get()));
    return true;
}

void Logging::closeLogFile()
{
    QMutexLocker lock(&g_logMutex);
    g_logStream.reset();
    g_logFile.reset();
}

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    const QString line = Logging::formatLine(type, msg, QDateTime::currentDateTime());
    const QByteArray latin = line.toLatin1();
    // One fwrite per line keeps console lines whole between threads too.
    QByteArray withEol = latin + '\n';
    fwrite(withEol.constData(), 1, size_t(withEol.size()), stdout);
    fflush(stdout);
    {
        QMutexLocker lock(&g_logMutex);
        writeToFile(line);
    }
    if (type == QtFatalMsg)
        abort();
}
