#pragma once

#include "protocol/config.pb.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The unit's configuration record: where it lives in the flash, its
// length-delimited encoding, and the conversion to and from the window's fields.
namespace ConfigRecord {

constexpr uint32_t kFlashAddress = 0x1E0000;
// Bound of one serialised record (the message's largest size).
constexpr int kEncodeBufferSize = 82;
constexpr int kKeyLength = 16;

// The window's networking fields as text, and which key source is chosen.
enum class KeySource { Regenerate, Unit, Application };
struct Fields {
    bool dhcp = true;
    QString address = QStringLiteral("0.0.0.0");
    QString mask = QStringLiteral("0.0.0.0");
    QString gateway = QStringLiteral("0.0.0.0");
    QString dns = QStringLiteral("0.0.0.0");
    KeySource keySource = KeySource::Unit;
};

// Length prefix + message; empty when the record does not fit the buffer.
QByteArray encode(const UserConfiguration &record);
// Decodes a length-delimited record from the start of bytes. On failure the
// record is zeroed and error holds the decoder's text (possibly empty).
bool decode(const QByteArray &bytes, UserConfiguration *record, QString *error);

// Dotted quad with decimal octets: "192.168.001.010" is 192.168.1.10, spaces
// that the input mask leaves are ignored. Anything else is 0.0.0.0. The value
// has the first octet in its least significant byte.
uint32_t parseAddress(const QString &text);
QString formatAddress(uint32_t value);

// Fields to record, stamped with now. Fails (with the reason in error) for a
// static set-up whose address or mask is 0.0.0.0: the unit would be unreachable.
bool fromFields(const Fields &fields, const QDateTime &now, UserConfiguration *record, QString *error);
Fields toFields(const UserConfiguration &record, KeySource keySource);

// A key the client may store and write: exactly 16 bytes, not on the blacklist.
// Returns the blacklist index, or -1.
int blacklistIndex(const QByteArray &key);
QByteArray keyOf(const UserConfiguration &record);

} // namespace ConfigRecord
