#pragma once

#include <QString>

struct SimOptions;

// The simulated unit booting from the same flash file that the emulated USB side
// writes: its key comes from the configuration record, and it reports the CRC of
// the image it holds in da_flash_crc.
namespace FlashFile {

constexpr int kSize = 2 * 1024 * 1024;

// An absent file is created erased, with a DHCP record holding options.key. A
// record without a usable key leaves the unit with a key nobody has: every
// handshake is refused (and logged). False, with error, when the file cannot be
// read or created.
bool boot(const QString &path, SimOptions &options, QString *error);

// CRC-32 of the image: the flash below the configuration record, up to its last programmed byte.
quint32 imageCrc(const QByteArray &flash);

} // namespace FlashFile
