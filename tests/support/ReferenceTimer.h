#pragma once

#include "discovery/TimeScale.h"

#include <QTimer>

// A precise single-shot timer that only records that it fired. Qt runs due precise timers in the order of
// their deadlines, so a wait of the code under test, compared with references started just before it,
// ends in a definite order however late a loaded machine runs them: no wall-clock margins needed.
class ReferenceTimer
{
public:
    explicit ReferenceTimer(int nominalMs, double speed = 1.0)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_fired = true; });
        m_timer.start(scaledInterval(nominalMs, speed));
    }
    bool fired() const { return m_fired; }

private:
    QTimer m_timer;
    bool m_fired = false;
};
