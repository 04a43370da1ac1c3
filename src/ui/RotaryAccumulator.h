#pragma once

#include <QObject>
#include <QTimer>

// Turns the absolute values of a wrapping dial into signed tick counts and hands them on in batches, so a fast
// spin becomes one write every 33 ms instead of one per step.
class RotaryAccumulator : public QObject
{
    Q_OBJECT
public:
    static constexpr int BatchIntervalMs = 33;

    explicit RotaryAccumulator(QObject *parent = nullptr);

    int period() const { return m_period; }

signals:
    void output(int items);

public slots:
    void input(int items);
    void setMax(int max);

private:
    void flush();

    QTimer m_timer;
    int m_total = 0;
    int m_last = 0;
    int m_period = 0;
};
