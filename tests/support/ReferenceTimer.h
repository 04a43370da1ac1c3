#pragma once

#include "discovery/TimeScale.h"

#include <QTimer>

#include <memory>

// A precise single-shot timer that only records that it fired.
class ReferenceTimer
{
public:
    explicit ReferenceTimer(int ms)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_fired = true; });
        m_timer.start(ms);
    }
    bool fired() const { return m_fired; }

private:
    QTimer m_timer;
    bool m_fired = false;
};

// Checks that a wait of the code under test (a precise timer of nominalMs at the given speed) ends exactly
// on time, without wall-clock margins: Qt runs due precise timers in the order of their deadlines, however
// late a loaded machine gets to them. Make the bracket right before the code starts its wait, call
// started() right after, and ended() when the wait ends: the reference of the same length started before
// must have fired by then, the one a millisecond longer started after must not.
class WaitBracket
{
public:
    WaitBracket(int nominalMs, double speed) : m_ms(scaledInterval(nominalMs, speed)), m_notBefore(m_ms) {}
    void started() { m_notAfter = std::make_unique<ReferenceTimer>(m_ms + 1); }
    void ended()
    {
        m_early = !m_notBefore.fired();
        m_late = !m_notAfter || m_notAfter->fired();
    }
    bool early() const { return m_early; }
    bool late() const { return m_late; }
    // The longer reference fired: a wait that has not ended by now never will.
    bool over() const { return m_notAfter && m_notAfter->fired(); }

private:
    int m_ms;
    ReferenceTimer m_notBefore;
    std::unique_ptr<ReferenceTimer> m_notAfter;
    bool m_early = true;
    bool m_late = true;
};
