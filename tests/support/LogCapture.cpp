#include "support/LogCapture.h"

#include <QDeadlineTimer>
#include <QTest>

#include <QVector>

namespace {
// Captures may nest: every live capture sees every message, and the handler that
// was installed before the outermost one still gets each message once.
QMutex g_registryMutex;
QVector<LogCapture *> g_active;
QtMessageHandler g_outer = nullptr;
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_registryMutex);
    if (g_active.isEmpty())
        g_outer = qInstallMessageHandler(&LogCapture::handler);
    g_active.append(this);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&g_registryMutex);
    g_active.removeAll(this);
    if (g_active.isEmpty())
        qInstallMessageHandler(g_outer);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    QtMessageHandler outer = nullptr;
    {
        QMutexLocker lock(&g_registryMutex);
        for (LogCapture *self : qAsConst(g_active)) {
            QMutexLocker lineLock(&self->m_mutex);
            self->m_lines << msg;
        }
        outer = g_outer;
    }
    if (outer && type != QtFatalMsg)
        outer(type, ctx, msg);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QStringList LogCapture::matching(const QString &text) const
{
    QMutexLocker lock(&m_mutex);
    QStringList out;
    for (const QString &l : m_lines)
        if (l.contains(text))
            out << l;
    return out;
}

bool LogCapture::waitFor(const QString &text, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!contains(text)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}
