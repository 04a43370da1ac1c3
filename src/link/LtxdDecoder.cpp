#include "link/LtxdDecoder.h"

#include <QDebug>

namespace {
constexpr quint8 kTouchReport = 0x13;
constexpr quint8 kIgnoredReport = 0x18;
constexpr int kTouchReportSize = 6;

quint16 be16(const QByteArray &p, int at)
{
    return quint16((quint8(p.at(at)) << 8) | quint8(p.at(at + 1)));
}
} // namespace

LtxdDecoder::LtxdDecoder(QObject *parent) : SerialDecoder(QStringLiteral("LTXD"), parent) {}

void LtxdDecoder::handlePayload(QByteArray payload)
{
    const quint8 type = quint8(payload.at(0));
    if (payload.size() == kTouchReportSize && type == kTouchReport) {
        qInfo().noquote()
            << QStringLiteral("Touch Payload: %1 fe%2fd").arg(payload.size()).arg(QString::fromLatin1(payload.toHex()));
        const quint16 x = be16(payload, 2);
        const quint16 rawY = be16(payload, 4);
        if (x == ReleaseMarker && rawY == ReleaseMarker) {
            qInfo().noquote() << "Touch: Release";
            return;
        }
        // The radio counts Y from the bottom edge; the screen counts from the top.
        const int y = ScreenHeight - int(rawY);
        qInfo().noquote() << QStringLiteral("Touch: X %1, Y %2").arg(uint(x)).arg(y);
        return;
    }
    if (type == kIgnoredReport)
        return;
    qInfo().noquote()
        << QStringLiteral("Got unkown LTXD Bytes: %1 %2").arg(payload.size()).arg(QString::fromLatin1(payload.toHex()));
}
