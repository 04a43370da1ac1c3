// Feeds arbitrary file contents to the radio access file import: any bytes, any encoding, any size. A decoded key
// must carry its own CRC and survive the export format unchanged.
#include "maintenance/AccessFileCodec.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw(reinterpret_cast<const char *>(data), int(size));
    const AccessFile::Decoded decoded = AccessFile::decodeFileContent(raw);
    if (decoded.result != AccessFile::Decoded::Ok)
        return 0;
    if (decoded.key.size() != AccessFile::kKeyBytes || AccessFile::crc8(decoded.key) != decoded.stored)
        std::abort();
    const AccessFile::Decoded again = AccessFile::decode(AccessFile::encode(decoded.key));
    if (again.result != AccessFile::Decoded::Ok || again.key != decoded.key)
        std::abort();
    return 0;
}
