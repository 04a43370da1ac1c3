#include "discovery/LocatorStrategy.h"

#include "discovery/TimeScale.h"

LocatorStrategy::LocatorStrategy(QObject *parent) : QObject(parent) {}

LocatorStrategy::~LocatorStrategy() = default;

void LocatorStrategy::clearFlags()
{
    m_timedOut = false;
    m_located = false;
}

void LocatorStrategy::reportLocated(const QHostAddress &address)
{
    m_located = true;
    m_address = address;
    emit located(address);
}

void LocatorStrategy::reportTimeout()
{
    m_timedOut = true;
    emit timeout();
}

int LocatorStrategy::scaled(int ms) const
{
    return scaledInterval(ms, m_speed);
}
