#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// The text file that carries a unit's key to another computer: the 16 key bytes
// and their CRC-8 as 34 upper-case hexadecimal digits, no line terminator.
namespace RadioAccessFile {
// CRC-8 with polynomial 0x07, initial value 0, no reflection, no final xor.
uint8_t crc8(const QByteArray &bytes);
QByteArray text(const QByteArray &key);
// Writes the file; false (with a log line) when it cannot be written.
bool write(const QString &path, const QByteArray &key);
} // namespace RadioAccessFile
