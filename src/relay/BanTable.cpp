#include "relay/BanTable.h"

QHostAddress BanTable::normalised(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4);
    QHostAddress plain(address);
    plain.setScopeId(QString());
    return plain;
}

QString BanTable::key(const QHostAddress &address)
{
    return normalised(address).toString();
}

qint64 BanTable::countFailure(const QHostAddress &address)
{
    const QString k = key(address);
    if (!m_records.contains(k))
        makeRoom();
    Record &r = m_records[k];
    const qint64 now = m_clock->nowMs();
    const int before = r.failures++;
    r.lastFailureMs = now;
    if (before < kFreeFailures)
        return 0;
    const qint64 lengthMs = (before - kFreeFailures + 1) * kBanStepMs;
    r.bannedUntilMs = now + lengthMs;
    return lengthMs / 1000;
}

bool BanTable::isBanned(const QHostAddress &address, QString *notice)
{
    if (notice)
        notice->clear();
    auto it = m_records.find(key(address));
    if (it == m_records.end())
        return false;
    const qint64 now = m_clock->nowMs();
    const qint64 remaining = it->bannedUntilMs - now;
    if (remaining <= 0)
        return false;
    // A banned host that keeps connecting must not flood the log.
    if (notice && (it->lastNoticeMs < 0 || now - it->lastNoticeMs >= kBannedNoticeMs)) {
        it->lastNoticeMs = now;
        *notice = QStringLiteral("Host %1 is banned, remaining time %2s")
                      .arg(normalised(address).toString(), QString::number(double(remaining) / 1000.0, 'g', 6));
    }
    return true;
}

void BanTable::clear(const QHostAddress &address)
{
    m_records.remove(key(address));
}

void BanTable::makeRoom()
{
    if (m_records.size() < kCapacity)
        return;
    // Finished bans go first, then running ones; within each, the address that failed longest ago.
    const qint64 now = m_clock->nowMs();
    auto victim = m_records.end();
    for (auto it = m_records.begin(); it != m_records.end(); ++it) {
        if (victim == m_records.end()) {
            victim = it;
            continue;
        }
        const bool itFinished = it->bannedUntilMs <= now;
        const bool victimFinished = victim->bannedUntilMs <= now;
        if (itFinished != victimFinished) {
            if (itFinished)
                victim = it;
            continue;
        }
        if (it->lastFailureMs < victim->lastFailureMs)
            victim = it;
    }
    m_records.erase(victim);
}
