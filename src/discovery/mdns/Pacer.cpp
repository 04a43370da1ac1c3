#include "discovery/mdns/Pacer.h"

#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Message.h"

namespace QMdnsEngine {

namespace {
constexpr qint64 kAnswerIntervalMs = 1000;
constexpr qint64 kProbeAnswerIntervalMs = 250;
} // namespace

bool Pacer::allow(const Record &record, int interfaceIndex, bool probe)
{
    const QByteArray key =
        QByteArray::number(interfaceIndex) + '/' + QByteArray::number(record.type()) + '/' + foldName(record.name());
    const qint64 now = m_clock->nowMs();
    auto last = m_lastSent.find(key);
    if (last != m_lastSent.end() && now - last.value() < (probe ? kProbeAnswerIntervalMs : kAnswerIntervalMs))
        return false;
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
