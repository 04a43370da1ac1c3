#pragma once

#include "discovery/LocatorConfig.h"

#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSettings>
#include <QTimer>

class LocatorStrategy;

namespace QMdnsEngine {
class Server;
} // namespace QMdnsEngine

// Answers "where is the unit (or a relay in front of it) now?". Each find() runs exactly one
// enabled strategy; a request after a time-out moves on to the next one in the user's order, a
// request after a success tries the same strategy again.
class VQ6020Locator : public QObject
{
    Q_OBJECT
public:
    explicit VQ6020Locator(QObject *parent = nullptr);
    ~VQ6020Locator() override;

    bool isLocated() const { return m_located; }
    bool isTimedOut() const { return m_timedOut; }
    bool isBusy() const { return m_busy; }
    QHostAddress locatedAddress() const { return m_address; }

    // A relay must not find itself (or another relay) as its unit.
    void setProxyServerMode();

    // Every time-out of a request runs speed times faster than real (see TimeScale.h); 1 unless a test
    // sets it.
    void setTimeScale(double speed);

public slots:
    void find();

signals:
    void located(QHostAddress address);
    void timeout();

private slots:
    void resolved(QHostAddress address);
    void timedOut();

private:
    void addStrategy(LocatorType type, LocatorStrategy *strategy);
    void endWithoutStrategy();

    // Shared by both mDNS strategies; the relay browser keeps listening on it between requests.
    QMdnsEngine::Server *m_server = nullptr;
    QMap<LocatorType, LocatorStrategy *> m_strategies;
    QSettings m_settings;
    LocatorConfig m_working;
    int m_position = -1;
    bool m_located = false;
    bool m_timedOut = false;
    bool m_busy = false;
    bool m_proxyServerMode = false;
    QHostAddress m_address;
    QTimer m_noStrategyTimer;
};
