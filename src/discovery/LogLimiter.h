#pragma once

#include "app/Clock.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

// Caps the log lines that network input causes: anyone on the link can send records as fast
// as the link carries them, and every one of them would otherwise become a line in the log.
// Per kind of line, the first perSecond lines of each second pass; the rest are counted and
// summed up in one "<kind> … suppressed N similar lines" line once that second is over.
class LogLimiter : public QObject
{
    Q_OBJECT

public:
    explicit LogLimiter(QObject *parent = nullptr, const Clock *clock = Clock::steady(), int perSecond = 20);

    // True when a line of this kind may be logged now.
    bool allow(const QString &kind);
    // Logs the summaries of seconds that are over; runs by itself once a second while needed.
    void flush();

private:
    struct Window {
        qint64 start = 0;
        int passed = 0;
        int suppressed = 0;
    };

    const Clock *m_clock;
    int m_perSecond;
    QHash<QString, Window> m_windows;
    QTimer m_timer;
};
