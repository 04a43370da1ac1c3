#include "maintenance/ConfigRecord.h"

#include <QCryptographicHash>
#include <QStringList>

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>

namespace ConfigRecord {

QByteArray encode(const UserConfiguration &record)
{
    uint8_t buffer[kEncodeBufferSize];
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
    if (!pb_encode_ex(&stream, UserConfiguration_fields, &record, PB_ENCODE_DELIMITED))
        return {};
    return QByteArray(reinterpret_cast<const char *>(buffer), int(stream.bytes_written));
}

bool decode(const QByteArray &bytes, UserConfiguration *record, QString *error)
{
    *record = UserConfiguration_init_zero;
    pb_istream_t stream =
        pb_istream_from_buffer(reinterpret_cast<const pb_byte_t *>(bytes.constData()), size_t(bytes.size()));
    if (pb_decode_ex(&stream, UserConfiguration_fields, record, PB_DECODE_DELIMITED)) {
        // A record whose one-of holds neither member means DHCP.
        if (record->which_ipConfig != UserConfiguration_staticIp_tag)
            record->which_ipConfig = UserConfiguration_dhcp_tag;
        return true;
    }
    const char *text = PB_GET_ERROR(&stream);
    if (error)
        *error = text ? QString::fromLatin1(text) : QString();
    *record = UserConfiguration_init_zero;
    return false;
}

uint32_t parseAddress(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return 0;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        QString octet = parts[i];
        octet.remove(QLatin1Char(' '));
        if (octet.isEmpty() || octet.size() > 3)
            return 0;
        bool ok = false;
        const uint n = octet.toUInt(&ok, 10);
        if (!ok || n > 255)
            return 0;
        value |= n << (8 * i);
    }
    return value;
}

QString formatAddress(uint32_t value)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(value & 0xFF)
        .arg((value >> 8) & 0xFF)
        .arg((value >> 16) & 0xFF)
        .arg((value >> 24) & 0xFF);
}

bool fromFields(const Fields &fields, const QDateTime &now, UserConfiguration *record, QString *error)
{
    *record = UserConfiguration_init_zero;
    // The AM/PM marker comes from the locale; cut at a character boundary so
    // the text always fits the record.
    QByteArray stamp = now.toString(QStringLiteral("yyyy-MM-dd hh.mm.ss AP")).toLocal8Bit();
    const int room = int(sizeof record->timestamp) - 1;
    if (stamp.size() > room) {
        stamp.truncate(room);
        while (!stamp.isEmpty() && QString::fromLocal8Bit(stamp).toLocal8Bit() != stamp)
            stamp.chop(1);
    }
    std::memcpy(record->timestamp, stamp.constData(), size_t(stamp.size()));
    record->timestamp[stamp.size()] = '\0';

    if (fields.dhcp) {
        record->which_ipConfig = UserConfiguration_dhcp_tag;
        return true;
    }
    record->which_ipConfig = UserConfiguration_staticIp_tag;
    StaticIpConfig &ip = record->ipConfig.staticIp;
    ip.address = parseAddress(fields.address);
    ip.mask = parseAddress(fields.mask);
    ip.gateway = parseAddress(fields.gateway);
    ip.dns = parseAddress(fields.dns);
    if (ip.address == 0 || ip.mask == 0) {
        if (error)
            *error = QStringLiteral("A static configuration needs an IP address and a mask other than 0.0.0.0");
        return false;
    }
    return true;
}

Fields toFields(const UserConfiguration &record, KeySource keySource)
{
    Fields f;
    f.keySource = keySource;
    f.dhcp = record.which_ipConfig != UserConfiguration_staticIp_tag;
    if (!f.dhcp) {
        const StaticIpConfig &ip = record.ipConfig.staticIp;
        f.address = formatAddress(ip.address);
        f.mask = formatAddress(ip.mask);
        f.gateway = formatAddress(ip.gateway);
        f.dns = formatAddress(ip.dns);
    }
    return f;
}

int blacklistIndex(const QByteArray &key)
{
    // Keys made of one repeated byte: what an erased, zeroed or carelessly
    // filled buffer would hold.
    static const QList<QByteArray> kDigests = [] {
        QList<QByteArray> digests;
        for (char fill : {'\x00', '\xFF', '\x01', '\x11', '\x55', '\xAA'})
            digests << QCryptographicHash::hash(QByteArray(kKeyLength, fill), QCryptographicHash::Sha256);
        return digests;
    }();
    return kDigests.indexOf(QCryptographicHash::hash(key, QCryptographicHash::Sha256));
}

QByteArray keyOf(const UserConfiguration &record)
{
    if (!record.has_psk)
        return {};
    return QByteArray(reinterpret_cast<const char *>(record.psk.bytes), record.psk.size);
}

} // namespace ConfigRecord
