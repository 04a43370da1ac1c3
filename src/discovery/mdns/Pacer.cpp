#include "discovery/mdns/Pacer.h"

#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Message.h"

#include <iterator>

namespace QMdnsEngine {

namespace {
constexpr qint64 kAnswerIntervalMs = 1000;
constexpr qint64 kProbeAnswerIntervalMs = 250;
} // namespace

bool Pacer::allow(const Record &record, const Message &query, bool probe)
{
    const QByteArray key = QByteArray::number(query.interfaceIndex()) + '/' + query.address().toString().toLatin1() +
                           '/' + QByteArray::number(record.type()) + '/' + foldName(record.name());
    const qint64 now = m_clock->nowMs();
    auto last = m_lastSent.find(key);
    if (last != m_lastSent.end() && now - last.value() < (probe ? kProbeAnswerIntervalMs : kAnswerIntervalMs))
        return false;
    if (last == m_lastSent.end() && m_lastSent.size() >= kMaxEntries) {
        // Entries older than the interval say nothing any more.
        for (auto i = m_lastSent.begin(); i != m_lastSent.end();)
            i = now - i.value() >= kAnswerIntervalMs ? m_lastSent.erase(i) : std::next(i);
        // A link with more queriers than that within one second is itself a flood: answer nobody new.
        if (m_lastSent.size() >= kMaxEntries)
            return false;
    }
    m_lastSent.insert(key, now);
    return true;
}

bool Pacer::isProbe(const Message &query)
{
    if (query.records().isEmpty())
        return false;
    for (const Query &question : query.queries()) {
        if (question.type() == ANY)
            return true;
    }
    return false;
}

} // namespace QMdnsEngine
