// The unit's configuration sector is read back from a flash anyone may have
// written: any content must decode to a bounded record or fail cleanly.
//
// The protobuf decoder itself comes as a prebuilt library without coverage
// instrumentation, so raw mutation alone cannot see its paths. Half the inputs
// are therefore read as a recipe for a record (fields, wire types, varints,
// lengths that may lie, nested messages) built by instrumented code here, so
// coverage of the recipe steers the fuzzer through the decoder's cases.
#include "maintenance/ConfigRecord.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct Recipe {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    uint8_t next() { return at < size ? data[at++] : 0; }
};

void varint(QByteArray &out, uint64_t v, int extraZeros)
{
    do {
        out += char((v & 0x7F) | (v > 0x7F || extraZeros > 0 ? 0x80 : 0));
        v >>= 7;
    } while (v);
    for (int i = 0; i < extraZeros; ++i)
        out += char(i + 1 < extraZeros ? 0x80 : 0x00);
}

QByteArray build(Recipe &r, int depth)
{
    QByteArray out;
    while (r.more() && out.size() < 512) {
        const uint8_t op = r.next();
        if (op == 0xFF)
            break; // end of this (nested) message
        const int field = 1 + (op & 0x07);
        const int wire = (op >> 3) & 0x07;
        const int overlong = (op >> 6) == 3 ? r.next() % 12 : 0;
        varint(out, uint64_t(field) << 3 | uint64_t(wire), 0);
        switch (wire) {
        case 0: {
            uint64_t v = 0;
            for (int i = 0, n = r.next() % 9; i < n; ++i)
                v = v << 8 | r.next();
            varint(out, v, overlong);
            break;
        }
        case 1:
            for (int i = 0; i < 8; ++i)
                out += char(r.next());
            break;
        case 2: {
            const QByteArray body = (field == 2 || field == 3) && depth < 3 ? build(r, depth + 1)
                                                                            : QByteArray(r.next() % 40, char(r.next()));
            const int lie = (op & 0x40) ? int(int8_t(r.next())) : 0;
            varint(out, uint64_t(int64_t(body.size()) + lie) & 0xFFFFFFFFFull, overlong);
            out += body;
            break;
        }
        case 5:
            for (int i = 0; i < 4; ++i)
                out += char(r.next());
            break;
        default: // groups and invalid wire types
            break;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray sector;
    if (size > 0 && (data[0] & 1)) {
        Recipe r{data + 1, size - 1};
        const QByteArray message = build(r, 0);
        varint(sector, uint64_t(message.size()) + (data[0] & 2 ? r.next() : 0), 0);
        sector += message;
        sector += QByteArray(int(r.next()), '\xFF');
    } else {
        sector = QByteArray(reinterpret_cast<const char *>(data), int(size));
    }

    UserConfiguration record;
    QString error;
    if (!ConfigRecord::decode(sector, &record, &error)) {
        // A failed decode leaves nothing behind.
        if (record.timestamp[0] != '\0' || record.has_psk)
            std::abort();
        return 0;
    }
    if (std::memchr(record.timestamp, '\0', sizeof record.timestamp) == nullptr || record.psk.size > 16)
        std::abort();
    const ConfigRecord::Fields fields = ConfigRecord::toFields(record, ConfigRecord::KeySource::Unit);
    // What decoded encodes again within its buffer, and decodes to the same fields.
    const QByteArray again = ConfigRecord::encode(record);
    UserConfiguration second;
    if (!again.isEmpty() && !ConfigRecord::decode(again, &second, &error))
        std::abort();
    if (!again.isEmpty() && ConfigRecord::toFields(second, ConfigRecord::KeySource::Unit).address != fields.address)
        std::abort();
    return 0;
}
