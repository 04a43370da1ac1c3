#pragma once

#include "app/Clock.h"

#include <QHash>
#include <QHostAddress>
#include <QString>

// Failed key attempts per client address and the growing bans they earn. Keyed by
// the address itself (an IPv4-mapped IPv6 address counts as its IPv4 address), so
// a sender cannot get someone else banned by picking an address whose hash
// collides. Bounded: at most kCapacity addresses are remembered.
class BanTable
{
public:
    static constexpr int kCapacity = 1024;
    static constexpr int kFreeFailures = 4;
    static constexpr qint64 kBanStepMs = 10000;
    static constexpr qint64 kBannedNoticeMs = 1000;

    explicit BanTable(const Clock *clock = Clock::steady()) : m_clock(clock) {}

    // The address as this table keys and names it.
    static QHostAddress normalised(const QHostAddress &address);

    // Counts one failure. Returns the ban it starts in seconds, 0 while still free.
    qint64 countFailure(const QHostAddress &address);
    // True while the address is banned. notice receives "Host ... is banned" at most
    // once a second per address, empty otherwise.
    bool isBanned(const QHostAddress &address, QString *notice);
    // A successful authentication forgets the address.
    void clear(const QHostAddress &address);

    int size() const { return m_records.size(); }
    bool knows(const QHostAddress &address) const { return m_records.contains(key(address)); }

private:
    struct Record {
        int failures = 0;
        qint64 bannedUntilMs = 0;
        qint64 lastFailureMs = 0;
        qint64 lastNoticeMs = -1;
    };
    static QString key(const QHostAddress &address);
    void makeRoom();

    const Clock *m_clock;
    QHash<QString, Record> m_records;
};
