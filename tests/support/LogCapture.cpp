#include "support/LogCapture.h"

#include <QDeadlineTimer>
#include <QTest>

namespace {
LogCapture *g_active = nullptr;
}

LogCapture::LogCapture()
{
    g_active = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    g_active = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    LogCapture *self = g_active;
    if (!self)
        return;
    {
        QMutexLocker lock(&self->m_mutex);
        self->m_lines << msg;
    }
    if (self->m_previous && type != QtFatalMsg)
        self->m_previous(type, ctx, msg);
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
