#include "link/LrxdDecoder.h"

#include <QDebug>

LrxdDecoder::LrxdDecoder(QObject *parent) : SerialDecoder(QStringLiteral("LRXD"), parent) {}

void LrxdDecoder::handlePayload(QByteArray payload)
{
    // Two-byte messages starting with 01 repeat constantly and carry nothing of interest.
    if (payload.size() == 2 && quint8(payload.at(0)) == 0x01)
        return;
    qInfo().noquote()
        << QStringLiteral("Got unkown LRXD Bytes: %1 %2").arg(payload.size()).arg(QString::fromLatin1(payload.toHex()));
}
