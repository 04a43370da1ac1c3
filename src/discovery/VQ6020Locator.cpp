#include "discovery/VQ6020Locator.h"

#include "app/SettingsKeys.h"
#include "discovery/DnsLookup.h"
#include "discovery/LocatorStrategy.h"
#include "discovery/MDNSBrowser.h"
#include "discovery/MDNSHostnameLookup.h"
#include "discovery/SavedIPLocator.h"
#include "discovery/TimeScale.h"
#include "discovery/mdns/Server.h"

#include <QDebug>

namespace {
// Every strategy kind gets two chances per request before the walk gives up.
constexpr int kStrategyCount = 4;
constexpr int kNoStrategyTimeoutMs = 5000;
} // namespace

VQ6020Locator::VQ6020Locator(QObject *parent)
    : QObject(parent), m_server(new QMdnsEngine::Server(this)),
      m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
{
    addStrategy(LOC_IP, new SavedIPLocator(this));
    addStrategy(LOC_DIRECT_MDNS, new MDNSHostnameLookup(m_server, this));
    addStrategy(LOC_PROXY_MDNS, new MDNSBrowser(m_server, this));
    addStrategy(LOC_DNS, new DnsLookup(this));

    // Without a strategy to run a request still has to end, at the pace of a real lookup, so that
    // callers retrying on time-out do not spin.
    m_noStrategyTimer.setSingleShot(true);
    m_noStrategyTimer.setInterval(kNoStrategyTimeoutMs);
    m_noStrategyTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_noStrategyTimer, &QTimer::timeout, this, &VQ6020Locator::timedOut);
}

VQ6020Locator::~VQ6020Locator() = default;

void VQ6020Locator::addStrategy(LocatorType type, LocatorStrategy *strategy)
{
    m_strategies.insert(type, strategy);
    connect(strategy, &LocatorStrategy::located, this, &VQ6020Locator::resolved);
    connect(strategy, &LocatorStrategy::timeout, this, &VQ6020Locator::timedOut);
}

void VQ6020Locator::setProxyServerMode()
{
    m_proxyServerMode = true;
}

void VQ6020Locator::setTimeScale(double speed)
{
    m_noStrategyTimer.setInterval(scaledInterval(kNoStrategyTimeoutMs, speed));
    for (LocatorStrategy *strategy : qAsConst(m_strategies))
        strategy->setTimeScale(speed);
}

void VQ6020Locator::find()
{
    if (m_busy) {
        qInfo().noquote() << "VQ6020Locator: Error, attempting to locate while locate in progress.";
        return;
    }
    bool advance = !m_located;

    LocatorConfig fresh = LocatorConfig::load(m_settings);
    if (fresh != m_working) {
        qInfo().noquote() << "VQ6020Locator: Connection settings changed since last find, resetting";
        if (m_proxyServerMode && fresh.enabled.value(LOC_PROXY_MDNS, false)) {
            qWarning().noquote() << "VQ6020Locator: We are in Proxy Server setting, but connection preferences "
                                    "indicate we should find a local proxy to connect. Ignoring setting";
            fresh.enabled[LOC_PROXY_MDNS] = false;
        }
        m_working = fresh;
        m_position = -1;
        advance = true;
    }

    m_located = false;
    m_timedOut = false;
    m_busy = true;

    if (!m_working.anyEnabled()) {
        qWarning().noquote()
            << "VQ6020Locator: No search strategies are specified, check settings to ensure something is checked.";
        m_noStrategyTimer.start();
        return;
    }

    for (int pass = 0; pass < 2 * kStrategyCount; ++pass) {
        if (advance && !m_working.order.isEmpty())
            m_position = (m_position + 1) % m_working.order.size();
        auto it = m_working.order.find(m_position);
        if (it == m_working.order.end())
            it = m_working.order.insert(m_position, LOC_DIRECT_MDNS);
        const LocatorType type = it.value();
        auto en = m_working.enabled.find(type);
        if (en == m_working.enabled.end())
            en = m_working.enabled.insert(type, false);
        if (!en.value())
            continue;

        qInfo().noquote() << "VQ6020Locator: Lookup strategy" << locatorKeyName(type) << "is" << en.value() << "["
                          << m_position << "]";
        LocatorStrategy *strategy = m_strategies.value(type, nullptr);
        if (!strategy) {
            qWarning().noquote() << "VQ6020Locator: No lookup strategy available for" << locatorKeyName(type);
            endWithoutStrategy();
            return;
        }
        strategy->startLookup();
        return;
    }

    // Positions that do not run 0..n-1 can hide every enabled entry from the walk; staying busy
    // would refuse every later request, so this request ends like one that found nothing.
    qWarning().noquote() << "VQ6020Locator: No enabled search strategy reached, check the connection order settings.";
    endWithoutStrategy();
}

void VQ6020Locator::endWithoutStrategy()
{
    m_noStrategyTimer.start();
}

void VQ6020Locator::resolved(QHostAddress address)
{
    qInfo().noquote() << QStringLiteral("VQ6020Locator: Lookup Query Found: %1").arg(address.toString());
    m_noStrategyTimer.stop();
    m_located = true;
    m_busy = false;
    m_address = address;
    emit located(address);
}

void VQ6020Locator::timedOut()
{
    qInfo().noquote() << "VQ6020Locator: Query Timeout";
    m_noStrategyTimer.stop();
    m_timedOut = true;
    m_busy = false;
    emit timeout();
}
