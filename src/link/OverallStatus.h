#pragma once

#include "app/Clock.h"
#include "link/PylonController.h"

#include <QObject>
#include <QTimer>

// One state for link and radio together, derived from what has been seen lately: the control connection, screen
// frames, serial-line traffic and the unit's host-sense input. Polled, so a burst of events costs nothing extra.
class OverallStatus : public QObject
{
    Q_OBJECT
public:
    enum Status {
        Invalid = 0,
        Active = 1,
        PoweringOn = 2,
        Sleeping = 3,
        RadioOffReady = 4,
        RadioOffNotReady = 5,
        Disconnected = 6,
    };
    Q_ENUM(Status)

    static constexpr int PollIntervalMs = 300;
    static constexpr int FreshnessMs = 500;

    // The clock decides freshness; the poll timer only says when to look.
    explicit OverallStatus(QObject *parent = nullptr, const Clock *clock = Clock::steady());

    Status status() const { return m_lastStatus; }
    static QString statusName(Status s);

signals:
    void notifyChange(OverallStatus::Status s);

public slots:
    void gotDisplayData();
    void gotSerialData();
    void gotUpdatedRegister(PylonController::Register reg, uint value);
    void connectionState(bool connected);

private:
    void poll();

    const Clock *m_clock;
    QTimer m_timer;
    qint64 m_lastDisplayMs;
    qint64 m_lastSerialMs;
    bool m_connected = false;
    bool m_hostSense = false;
    Status m_lastStatus = Invalid;
};

Q_DECLARE_METATYPE(OverallStatus::Status)
