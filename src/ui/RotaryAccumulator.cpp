#include "ui/RotaryAccumulator.h"

RotaryAccumulator::RotaryAccumulator(QObject *parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::CoarseTimer);
    m_timer.setInterval(BatchIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &RotaryAccumulator::flush);
    m_timer.start();
}

void RotaryAccumulator::setMax(int max)
{
    // A wrapping dial of range 0..M puts M and 0 at the same angle, so one turn is M steps, not M + 1.
    m_period = max;
}

void RotaryAccumulator::input(int items)
{
    const int half = m_period / 2;
    int delta = items - m_last;
    m_last = items;
    // A jump of more than half a turn is taken as the short way round across the wrap point.
    if (delta < -half)
        delta += m_period;
    if (delta > half)
        delta -= m_period;
    m_total += delta;
}

void RotaryAccumulator::flush()
{
    if (m_total == 0)
        return;
    const int total = m_total;
    m_total = 0;
    emit output(total);
}
