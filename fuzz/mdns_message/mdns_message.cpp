// Feeds arbitrary datagrams to the mDNS decoder. Whatever decodes must encode
// into a datagram that decodes again to the same content, and encoding that must
// give the same bytes: the decoder and the encoder agree on every message a peer
// can make us accept.
#include "discovery/mdns/Dns.h"

#include <cstdint>
#include <cstdlib>

using namespace QMdnsEngine;

namespace {
void check(bool condition)
{
    if (!condition)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray packet = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    Message first;
    if (!decodeMessage(packet, first))
        return 0;
    const QByteArray encoded = encodeMessage(first);
    Message second;
    check(decodeMessage(encoded, second));
    check(second.transactionId() == first.transactionId());
    check(second.isResponse() == first.isResponse());
    check(second.isTruncated() == first.isTruncated());
    check(second.queries().size() == first.queries().size());
    check(second.records().size() == first.records().size());
    for (int i = 0; i < first.records().size(); ++i) {
        const Record &a = first.records().at(i);
        const Record &b = second.records().at(i);
        check(a.type() == b.type() && a.ttl() == b.ttl() && a.flushCache() == b.flushCache());
        check(a.address() == b.address() && a.port() == b.port() && a.bitmap() == b.bitmap());
        check(a.attributes().keys() == b.attributes().keys());
    }
    check(encodeMessage(second) == encoded);

    // Splitting for the wire: small limits force several parts; every part stays within
    // the limit unless it holds a single element, and together they carry everything in order.
    for (const int limit : {64, 512}) {
        const QList<Message> parts = splitMessage(first, limit);
        QList<Query> queries;
        QList<Record> records;
        for (int i = 0; i < parts.size(); ++i) {
            const Message &part = parts.at(i);
            const QByteArray bytes = encodeMessage(part);
            check(bytes.size() <= limit || part.queries().size() + part.records().size() == 1 || parts.size() == 1);
            Message back;
            check(decodeMessage(bytes, back));
            check(back.isResponse() == first.isResponse() && back.transactionId() == first.transactionId());
            if (!first.isResponse() && i + 1 < parts.size())
                check(back.isTruncated());
            queries += part.queries();
            records += part.records();
        }
        check(queries.size() == first.queries().size() && records.size() == first.records().size());
        for (int i = 0; i < records.size(); ++i)
            check(records.at(i) == first.records().at(i));
    }
    return 0;
}
