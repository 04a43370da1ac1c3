#pragma once

#include "app/Clock.h"

#include <QByteArray>
#include <QHash>

namespace QMdnsEngine {

class Message;
class Record;

// A responder multicasts each of its records on a link at most once a second, or four times a
// second when the question is a probe (RFC 6762, section 6). Everyone on the link hears the
// answer, so asking again sooner gains nothing; without the limit, a peer that floods questions
// would have us flood the whole link with answers.
class Pacer
{
public:
    explicit Pacer(const Clock *clock = Clock::steady()) : m_clock(clock) {}

    void setClock(const Clock *clock) { m_clock = clock; }
    // True, and the record counts as multicast now, if it may go out on the link again.
    bool allow(const Record &record, int interfaceIndex, bool probe);
    // A probe asks ANY for a name and states the records it would claim.
    static bool isProbe(const Message &query);

private:
    const Clock *m_clock;
    QHash<QByteArray, qint64> m_lastSent;
};

} // namespace QMdnsEngine
