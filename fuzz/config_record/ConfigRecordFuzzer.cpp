// The unit's configuration sector is read back from a flash anyone may have
// written: any content must decode to a bounded record or fail cleanly.
#include "maintenance/ConfigRecord.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray sector(reinterpret_cast<const char *>(data), int(size));
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
