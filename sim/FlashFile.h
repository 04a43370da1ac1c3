#pragma once

#include <QString>

class SimUnit;
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

// Restarts unit whenever the file settles with another key or image (a write over
// USB, then the unit's refresh): polled, and acted on once it has not changed for
// a second, so that a half-written image never counts.
void watch(const QString &path, SimUnit *unit);

// CRC-32 of the image: the flash below the configuration record, up to its last programmed byte.
quint32 imageCrc(const QByteArray &flash);

} // namespace FlashFile
