#include "maintenance/PrintSink.h"

#include <QDebug>

#include <cstdarg>

namespace {
QString g_pendingText;
bool g_pending = false;
} // namespace

void PrintSink::print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const QString text = QString::vasprintf(format, args).trimmed();
    va_end(args);
    qInfo().noquote() << text;
    g_pendingText += text;
    g_pending = true;
}

bool PrintSink::pending()
{
    return g_pending;
}

QString PrintSink::takePending()
{
    g_pending = false;
    QString text;
    text.swap(g_pendingText);
    return text;
}
