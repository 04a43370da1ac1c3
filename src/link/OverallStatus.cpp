#include "link/OverallStatus.h"

#include <QDebug>
#include <QMetaEnum>

namespace {
const int s_statusMetaTypeId = qRegisterMetaType<OverallStatus::Status>("OverallStatus::Status");
}

OverallStatus::OverallStatus(QObject *parent, const Clock *clock)
    : QObject(parent), m_clock(clock), m_timer(this), m_lastDisplayMs(clock->nowMs()), m_lastSerialMs(m_lastDisplayMs)
{
    Q_UNUSED(s_statusMetaTypeId);
    // Both clocks start now, so during the first half second after start everything counts as fresh.
    m_timer.setTimerType(Qt::CoarseTimer);
    m_timer.setInterval(PollIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &OverallStatus::poll);
    m_timer.start();
}

QString OverallStatus::statusName(Status s)
{
    const char *key = QMetaEnum::fromType<Status>().valueToKey(int(s));
    return key ? QString::fromLatin1(key) : QString::number(int(s));
}

void OverallStatus::gotDisplayData()
{
    m_lastDisplayMs = m_clock->nowMs();
}

void OverallStatus::gotSerialData()
{
    m_lastSerialMs = m_clock->nowMs();
}

void OverallStatus::gotUpdatedRegister(PylonController::Register reg, uint value)
{
    if (reg == PylonController::da_host_sense)
        m_hostSense = (value & 1u) != 0;
}

void OverallStatus::connectionState(bool connected)
{
    m_connected = connected;
}

void OverallStatus::poll()
{
    const qint64 now = m_clock->nowMs();
    const qint64 s = now - m_lastSerialMs;
    const qint64 d = now - m_lastDisplayMs;

    // The connection is checked first: frames still in flight after a drop must not keep the picture "Active".
    Status next;
    if (!m_connected)
        next = Disconnected;
    else if (d <= FreshnessMs)
        next = Active;
    else if (s <= FreshnessMs)
        next = Sleeping;
    else if (m_hostSense)
        next = RadioOffReady;
    else
        next = RadioOffNotReady;

    if (next == m_lastStatus)
        return;
    qInfo().noquote()
        << QStringLiteral("Calculated status changed from %1 to %2").arg(statusName(m_lastStatus), statusName(next));
    m_lastStatus = next;
    emit notifyChange(next);
}
