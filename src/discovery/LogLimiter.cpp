#include "discovery/LogLimiter.h"

#include <QDebug>

namespace {
constexpr qint64 kWindowMs = 1000;
} // namespace

LogLimiter::LogLimiter(QObject *parent, const Clock *clock, int perSecond)
    : QObject(parent), m_clock(clock), m_perSecond(perSecond), m_timer(this)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &LogLimiter::flush);
}

bool LogLimiter::allow(const QString &kind)
{
    flush();
    const qint64 now = m_clock->nowMs();
    Window &window = m_windows[kind];
    if (window.passed == 0 && window.suppressed == 0)
        window.start = now;
    if (window.passed < m_perSecond) {
        ++window.passed;
        return true;
    }
    ++window.suppressed;
    if (!m_timer.isActive())
        m_timer.start(int(std::max<qint64>(1, window.start + kWindowMs - now)));
    return false;
}

void LogLimiter::flush()
{
    const qint64 now = m_clock->nowMs();
    qint64 nextEnd = -1;
    for (auto i = m_windows.begin(); i != m_windows.end();) {
        Window &window = i.value();
        if (now - window.start < kWindowMs) {
            if (window.suppressed > 0 && (nextEnd < 0 || window.start + kWindowMs < nextEnd))
                nextEnd = window.start + kWindowMs;
            ++i;
            continue;
        }
        if (window.suppressed > 0)
            qInfo().noquote() << QStringLiteral("%1 … suppressed %2 similar lines").arg(i.key()).arg(window.suppressed);
        i = m_windows.erase(i);
    }
    if (nextEnd >= 0 && !m_timer.isActive())
        m_timer.start(int(std::max<qint64>(1, nextEnd - now)));
}
