#pragma once

#include <QHostAddress>
#include <QObject>

// One way of finding the unit. The locator runs exactly one strategy per request and waits for
// either signal. Implementations clear both flags when a lookup starts, set located and the
// address before emitting located(), and set timed-out before emitting timeout(). A strategy may
// report located() synchronously from inside startLookup().
class LocatorStrategy : public QObject
{
    Q_OBJECT
public:
    explicit LocatorStrategy(QObject *parent = nullptr);
    ~LocatorStrategy() override;

    bool isTimedOut() const { return m_timedOut; }
    bool isLocated() const { return m_located; }
    QHostAddress locatedAddress() const { return m_address; }

    // Time-outs run speed times faster than real (see TimeScale.h); takes effect from the next lookup.
    virtual void setTimeScale(double speed) { m_speed = speed; }

public slots:
    virtual void startLookup() = 0;

signals:
    void timeout();
    void located(QHostAddress address);

protected:
    // Helpers keep the flag/signal ordering in one place for every strategy.
    void clearFlags();
    void reportLocated(const QHostAddress &address);
    void reportTimeout();
    int scaled(int ms) const;

    bool m_timedOut = false;
    bool m_located = false;
    QHostAddress m_address;
    double m_speed = 1.0;
};
