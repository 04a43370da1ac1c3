#include "RadioAccessFile.h"

#include <QDebug>
#include <QFile>

namespace RadioAccessFile {

uint8_t crc8(const QByteArray &bytes)
{
    uint8_t crc = 0;
    for (char c : bytes) {
        crc ^= uint8_t(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80) ? uint8_t((crc << 1) ^ 0x07) : uint8_t(crc << 1);
    }
    return crc;
}

QByteArray text(const QByteArray &key)
{
    QByteArray content = key;
    content.append(char(crc8(key)));
    return content.toHex().toUpper();
}

bool write(const QString &path, const QByteArray &key)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning().noquote() << QStringLiteral("Cannot write radio access file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray content = text(key);
    const bool ok = file.write(content) == content.size();
    file.close();
    if (ok)
        qInfo().noquote() << QStringLiteral("Radio access file written to %1").arg(path);
    else
        qWarning().noquote() << QStringLiteral("Cannot write radio access file %1: %2").arg(path, file.errorString());
    return ok;
}

} // namespace RadioAccessFile
