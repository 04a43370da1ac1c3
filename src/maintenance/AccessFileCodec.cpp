#include "maintenance/AccessFileCodec.h"

#include <QTextStream>

namespace AccessFile {

uint8_t crc8(const QByteArray &bytes)
{
    // Bytewise on a 16-bit register: 0x8380 is the polynomial 0x107 placed at bits 15..7.
    uint16_t reg = 0;
    for (char c : bytes) {
        reg ^= uint16_t(uint8_t(c)) << 8;
        for (int bit = 0; bit < 8; ++bit) {
            if (reg & 0x8000)
                reg ^= 0x8380;
            reg = uint16_t(reg << 1);
        }
    }
    return uint8_t(reg >> 8);
}

QByteArray encode(const QByteArray &key)
{
    if (key.size() != kKeyBytes)
        return {};
    QByteArray bytes = key;
    bytes.append(char(crc8(key)));
    return bytes.toHex().toUpper();
}

Decoded decode(const QByteArray &text)
{
    Decoded out;
    const QByteArray bytes = QByteArray::fromHex(text);
    if (bytes.size() != kKeyBytes + 1)
        return out;
    const QByteArray key = bytes.left(kKeyBytes);
    out.stored = uint8_t(bytes.at(kKeyBytes));
    out.computed = crc8(key);
    if (out.stored != out.computed) {
        out.result = Decoded::BadCrc;
        return out;
    }
    out.result = Decoded::Ok;
    out.key = key;
    return out;
}

Decoded decodeFileContent(const QByteArray &raw)
{
    if (raw.size() > kMaxFileBytes)
        return {};
    QTextStream stream(raw);
    return decode(stream.readAll().toLocal8Bit());
}

} // namespace AccessFile
