#include "discovery/mdns/Dns.h"

#include <functional>

#include <QHash>
#include <QtEndian>

namespace QMdnsEngine {

const QHostAddress MdnsIpv4Address(QStringLiteral("224.0.0.251"));
const QHostAddress MdnsIpv6Address(QStringLiteral("ff02::fb"));
const QByteArray MdnsBrowseType("_services._dns-sd._udp.local.");

namespace {

// Legitimate encoders point a name at most once per label it shares; a chain of
// pointers longer than this only serves to make a decoder work.
constexpr int kMaxPointersPerName = 32;
constexpr int kMaxNameLength = 255;
constexpr int kMaxPointerOffset = 0x3fff;

class Reader
{
public:
    explicit Reader(const QByteArray &packet)
        : m_data(reinterpret_cast<const quint8 *>(packet.constData())), m_size(packet.size())
    {
    }

    int offset() const { return m_offset; }
    void setOffset(int offset) { m_offset = offset; }
    bool atLeast(int bytes) const { return m_offset >= 0 && bytes >= 0 && m_size - m_offset >= bytes; }

    bool u8(quint8 &v)
    {
        if (!atLeast(1))
            return false;
        v = m_data[m_offset++];
        return true;
    }
    bool u16(quint16 &v)
    {
        if (!atLeast(2))
            return false;
        v = qFromBigEndian<quint16>(m_data + m_offset);
        m_offset += 2;
        return true;
    }
    bool u32(quint32 &v)
    {
        if (!atLeast(4))
            return false;
        v = qFromBigEndian<quint32>(m_data + m_offset);
        m_offset += 4;
        return true;
    }
    bool bytes(int count, QByteArray &out)
    {
        if (!atLeast(count))
            return false;
        out = QByteArray(reinterpret_cast<const char *>(m_data + m_offset), count);
        m_offset += count;
        return true;
    }
    bool raw(int count, const quint8 *&out)
    {
        if (!atLeast(count))
            return false;
        out = m_data + m_offset;
        m_offset += count;
        return true;
    }

    // Every pointer must go strictly below everything read for this name so far,
    // so the walk always terminates; the pointer and length limits keep it short.
    bool name(QByteArray &out)
    {
        out.clear();
        int pos = m_offset;
        int lowest = m_offset;
        int resumeAt = -1;
        int pointers = 0;
        int wireLength = 1;
        for (;;) {
            if (pos < 0 || pos >= m_size)
                return false;
            const quint8 length = m_data[pos];
            if (length == 0) {
                ++pos;
                break;
            }
            if (length < 64) {
                if (m_size - pos - 1 < length)
                    return false;
                wireLength += length + 1;
                if (wireLength > kMaxNameLength)
                    return false;
                out.append(reinterpret_cast<const char *>(m_data + pos + 1), length);
                out.append('.');
                pos += 1 + length;
                continue;
            }
            if ((length & 0xc0) != 0xc0 || m_size - pos < 2)
                return false;
            const int target = ((length & 0x3f) << 8) | m_data[pos + 1];
            if (target >= lowest || ++pointers > kMaxPointersPerName)
                return false;
            if (resumeAt < 0)
                resumeAt = pos + 2;
            lowest = target;
            pos = target;
        }
        m_offset = resumeAt >= 0 ? resumeAt : pos;
        return true;
    }

private:
    const quint8 *m_data;
    int m_size;
    int m_offset = 0;
};

bool readRecordData(Reader &reader, quint16 dataLength, Record &record)
{
    const int start = reader.offset();
    if (!reader.atLeast(dataLength))
        return false;
    const int end = start + dataLength;
    switch (record.type()) {
    case A: {
        const quint8 *bytes = nullptr;
        if (dataLength < 4 || !reader.raw(4, bytes))
            return false;
        record.setAddress(QHostAddress(qFromBigEndian<quint32>(bytes)));
        break;
    }
    case AAAA: {
        const quint8 *bytes = nullptr;
        if (dataLength < 16 || !reader.raw(16, bytes))
            return false;
        record.setAddress(QHostAddress(bytes));
        break;
    }
    case PTR: {
        QByteArray target;
        if (!reader.name(target))
            return false;
        record.setTarget(target);
        break;
    }
    case SRV: {
        quint16 priority = 0, weight = 0, port = 0;
        QByteArray target;
        if (!reader.u16(priority) || !reader.u16(weight) || !reader.u16(port) || !reader.name(target))
            return false;
        record.setPriority(priority);
        record.setWeight(weight);
        record.setPort(port);
        record.setTarget(target);
        break;
    }
    case TXT: {
        while (reader.offset() < end) {
            quint8 length = 0;
            QByteArray text;
            if (!reader.u8(length))
                return false;
            if (length == 0)
                break;
            if (reader.offset() + length > end || !reader.bytes(length, text))
                return false;
            const int equals = text.indexOf('=');
            const QByteArray key = equals < 0 ? text : text.left(equals);
            // A value that is present but empty must stay distinguishable from none.
            const QByteArray value =
                equals < 0 ? QByteArray() : QByteArray(text.constData() + equals + 1, text.size() - equals - 1);
            // The first occurrence of a key wins.
            if (!record.attributes().contains(key))
                record.addAttribute(key, value);
        }
        break;
    }
    case NSEC: {
        QByteArray next;
        quint8 window = 0, length = 0;
        const quint8 *bits = nullptr;
        if (!reader.name(next) || !reader.u8(window) || !reader.u8(length))
            return false;
        if (window != 0 || length > 32 || !reader.raw(length, bits))
            return false;
        record.setNextDomainName(next);
        Bitmap bitmap;
        bitmap.setData(length, bits);
        record.setBitmap(bitmap);
        break;
    }
    default: break;
    }
    // Whatever the type, the data may not spill into the next record.
    if (reader.offset() > end)
        return false;
    reader.setOffset(end);
    return true;
}

class Writer
{
public:
    explicit Writer(QByteArray &packet) : m_packet(packet) { m_packet.clear(); }

    void u8(quint8 v) { m_packet.append(char(v)); }
    void u16(quint16 v)
    {
        u8(v >> 8);
        u8(v & 0xff);
    }
    void u32(quint32 v)
    {
        u16(v >> 16);
        u16(v & 0xffff);
    }
    void patch16(int at, quint16 v)
    {
        m_packet[at] = char(v >> 8);
        m_packet[at + 1] = char(v & 0xff);
    }
    int size() const { return m_packet.size(); }
    void append(const QByteArray &bytes) { m_packet.append(bytes); }

    void name(const QByteArray &fullName)
    {
        // Empty labels cannot be sent (a zero length ends the name) and longer ones
        // cannot be encoded; both are dropped or cut before compression, so that a
        // remembered suffix always stands for exactly the bytes written there.
        QList<QByteArray> labels;
        for (const QByteArray &label : fullName.split('.')) {
            if (!label.isEmpty())
                labels.append(label.left(63));
        }
        for (int i = 0; i < labels.size(); ++i) {
            QByteArray suffix;
            for (int j = i; j < labels.size(); ++j) {
                suffix += labels.at(j);
                suffix += '.';
            }
            const auto known = m_suffixes.constFind(suffix);
            if (known != m_suffixes.cend()) {
                u16(0xc000 | known.value());
                return;
            }
            if (m_packet.size() <= kMaxPointerOffset)
                m_suffixes.insert(suffix, quint16(m_packet.size()));
            u8(quint8(labels.at(i).size()));
            append(labels.at(i));
        }
        u8(0);
    }

private:
    QByteArray &m_packet;
    QHash<QByteArray, quint16> m_suffixes;
};

void writeRecordData(Writer &writer, const Record &record)
{
    switch (record.type()) {
    case A: writer.u32(record.address().toIPv4Address()); break;
    case AAAA: {
        const Q_IPV6ADDR address = record.address().toIPv6Address();
        writer.append(QByteArray(reinterpret_cast<const char *>(address.c), 16));
        break;
    }
    case PTR: writer.name(record.target()); break;
    case SRV:
        writer.u16(record.priority());
        writer.u16(record.weight());
        writer.u16(record.port());
        writer.name(record.target());
        break;
    case TXT: {
        const QMap<QByteArray, QByteArray> attributes = record.attributes();
        int written = 0;
        for (auto i = attributes.cbegin(); i != attributes.cend(); ++i) {
            const QByteArray text = i.value().isNull() ? i.key() : i.key() + '=' + i.value();
            // A string longer than its length byte can say, or an empty one that
            // would end the list, cannot be sent faithfully.
            if (text.isEmpty() || text.size() > 255)
                continue;
            writer.u8(quint8(text.size()));
            writer.append(text);
            ++written;
        }
        if (written == 0)
            writer.u8(0);
        break;
    }
    case NSEC: {
        writer.name(record.nextDomainName());
        const Bitmap bitmap = record.bitmap();
        writer.u8(0);
        writer.u8(bitmap.length());
        writer.append(QByteArray(reinterpret_cast<const char *>(bitmap.data()), bitmap.length()));
        break;
    }
    default: break;
    }
}

} // namespace

bool decodeMessage(const QByteArray &packet, Message &message)
{
    Reader reader(packet);
    quint16 transactionId = 0, flags = 0, questions = 0, answers = 0, authority = 0, additional = 0;
    if (!reader.u16(transactionId) || !reader.u16(flags) || !reader.u16(questions) || !reader.u16(answers) ||
        !reader.u16(authority) || !reader.u16(additional))
        return false;

    Message result;
    result.setTransactionId(transactionId);
    result.setResponse(flags & 0x8400);
    result.setTruncated(flags & 0x0200);

    for (int i = 0; i < questions; ++i) {
        QByteArray name;
        quint16 type = 0, qclass = 0;
        if (!reader.name(name) || !reader.u16(type) || !reader.u16(qclass))
            return false;
        Query query;
        query.setName(name);
        query.setType(type);
        query.setUnicastResponse(qclass & 0x8000);
        result.addQuery(query);
    }

    const int records = int(answers) + authority + additional;
    for (int i = 0; i < records; ++i) {
        QByteArray name;
        quint16 type = 0, rclass = 0, dataLength = 0;
        quint32 ttl = 0;
        if (!reader.name(name) || !reader.u16(type) || !reader.u16(rclass) || !reader.u32(ttl) ||
            !reader.u16(dataLength))
            return false;
        Record record;
        record.setName(name);
        record.setType(type);
        record.setFlushCache(rclass & 0x8000);
        record.setTtl(ttl);
        if (!readRecordData(reader, dataLength, record))
            return false;
        result.addRecord(record);
    }

    message = result;
    return true;
}

void encodeMessage(const Message &message, QByteArray &packet)
{
    Writer writer(packet);
    const QList<Query> queries = message.queries();
    const QList<Record> records = message.records();
    quint16 flags = 0;
    if (message.isResponse())
        flags |= 0x8400;
    if (message.isTruncated())
        flags |= 0x0200;
    writer.u16(message.transactionId());
    writer.u16(flags);
    writer.u16(quint16(queries.size()));
    writer.u16(quint16(records.size()));
    writer.u16(0);
    writer.u16(0);
    for (const Query &query : queries) {
        writer.name(query.name());
        writer.u16(query.type());
        writer.u16(query.unicastResponse() ? 0x8001 : 0x0001);
    }
    for (const Record &record : records) {
        writer.name(record.name());
        writer.u16(record.type());
        writer.u16(record.flushCache() ? 0x8001 : 0x0001);
        writer.u32(record.ttl());
        const int lengthAt = writer.size();
        writer.u16(0);
        writeRecordData(writer, record);
        writer.patch16(lengthAt, quint16(writer.size() - lengthAt - 2));
    }
}

QByteArray encodeMessage(const Message &message)
{
    QByteArray packet;
    encodeMessage(message, packet);
    return packet;
}

QString typeName(quint16 type)
{
    switch (type) {
    case A: return QStringLiteral("A");
    case PTR: return QStringLiteral("PTR");
    case TXT: return QStringLiteral("TXT");
    case AAAA: return QStringLiteral("AAAA");
    case SRV: return QStringLiteral("SRV");
    case NSEC: return QStringLiteral("NSEC");
    case ANY: return QStringLiteral("ANY");
    default: return QStringLiteral("?");
    }
}

QByteArray foldName(const QByteArray &name)
{
    QByteArray folded = name;
    for (char &c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return folded;
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        char x = a.at(i), y = b.at(i);
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool nameInDomain(const QByteArray &name, const QByteArray &suffix)
{
    if (name.size() <= suffix.size() || name.at(name.size() - suffix.size() - 1) != '.')
        return false;
    return sameName(name.right(suffix.size()), suffix);
}

namespace {
Message headerOf(const Message &message)
{
    Message part;
    part.setAddress(message.address());
    part.setPort(message.port());
    part.setInterfaceIndex(message.interfaceIndex());
    part.setTransactionId(message.transactionId());
    part.setResponse(message.isResponse());
    return part;
}
} // namespace

QList<Message> splitMessage(const Message &message, int maxBytes)
{
    constexpr int kHeader = 12;
    if (encodeMessage(message).size() <= maxBytes)
        return {message};
    QList<Message> parts;
    Message part = headerOf(message);
    int bytes = kHeader;
    bool empty = true;
    // Each element's size alone, without compression against the others: an upper bound.
    const auto add = [&](int size, const std::function<void(Message &)> &put) {
        if (!empty && bytes + size > maxBytes) {
            parts.append(part);
            part = headerOf(message);
            bytes = kHeader;
        }
        put(part);
        bytes += size;
        empty = false;
    };
    for (const Query &query : message.queries()) {
        Message alone;
        alone.addQuery(query);
        add(encodeMessage(alone).size() - kHeader, [&query](Message &m) { m.addQuery(query); });
    }
    for (const Record &record : message.records()) {
        Message alone;
        alone.addRecord(record);
        add(encodeMessage(alone).size() - kHeader, [&record](Message &m) { m.addRecord(record); });
    }
    parts.append(part);
    if (!message.isResponse()) {
        for (int i = 0; i + 1 < parts.size(); ++i)
            parts[i].setTruncated(true);
    }
    if (message.isTruncated())
        parts.last().setTruncated(true);
    return parts;
}

} // namespace QMdnsEngine
