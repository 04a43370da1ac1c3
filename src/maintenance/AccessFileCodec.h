#pragma once

#include <QByteArray>

#include <cstdint>

// The radio access file: the unit's 16 key bytes and their CRC-8, as 34
// hexadecimal digits. Shared by the credentials dialog and its fuzz target.
namespace AccessFile {

constexpr int kKeyBytes = 16;
// Larger files are not access files; reading stops there, so a huge or endless file costs nothing.
constexpr qint64 kMaxFileBytes = 64 * 1024;

// CRC-8/SMBUS: polynomial 0x07, initial value 0, most significant bit first, no final xor.
uint8_t crc8(const QByteArray &bytes);

// The 34 upper-case digits for a key, or empty unless the key has 16 bytes.
QByteArray encode(const QByteArray &key);

struct Decoded {
    enum Result { Ok, BadFormat, BadCrc } result = BadFormat;
    QByteArray key;       // the 16 key bytes when Ok
    uint8_t stored = 0;   // the CRC the file carries (BadCrc, Ok)
    uint8_t computed = 0; // the CRC of the key bytes it carries (BadCrc, Ok)
};

// Decodes file text: every character that is not a hexadecimal digit is skipped, digits of either case count, and
// the digits must make exactly 17 bytes whose last is the CRC-8 of the first 16.
Decoded decode(const QByteArray &text);

// Decodes what was read from a file: text in whatever encoding its byte-order mark names (else the locale's),
// then as decode(). More than kMaxFileBytes is BadFormat.
Decoded decodeFileContent(const QByteArray &raw);

} // namespace AccessFile
