#pragma once

#include "app/Clock.h"

#include <QByteArray>
#include <QHash>

namespace QMdnsEngine {

class Message;
class Record;

// A responder multicasts each of its records on a link at most once a second, or four times a
// second when the question is a probe (RFC 6762, section 6): without the limit, a peer that
// floods questions would have us flood the whole link with answers. The limit is kept per
// querier: a program that has just started (our own client, looking for the relay) has not
// heard the answer that went to someone else a moment ago, and must not wait for it.
class Pacer
{
public:
    explicit Pacer(const Clock *clock = Clock::steady()) : m_clock(clock) {}

    void setClock(const Clock *clock) { m_clock = clock; }
    // True, and the record counts as multicast now, if it may go out on the link again in answer to
    // this querier.
    bool allow(const Record &record, const Message &query, bool probe);
    // A probe asks ANY for a name and states the records it would claim.
    static bool isProbe(const Message &query);

    // However many queriers a link has, the table of who was answered stays this small.
    static constexpr int kMaxEntries = 4096;

private:
    const Clock *m_clock;
    QHash<QByteArray, qint64> m_lastSent;
};

} // namespace QMdnsEngine
