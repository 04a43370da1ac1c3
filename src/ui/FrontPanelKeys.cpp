#include "ui/FrontPanelKeys.h"

#include <QStringList>

namespace {

bool isHexDigits(const QString &text)
{
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    return true;
}

} // namespace

FrontPanelKey FrontPanelKey::fromObjectName(const QString &objectName)
{
    FrontPanelKey key;
    const QStringList parts = objectName.split(QLatin1Char('_'), Qt::KeepEmptyParts);
    if (parts.size() != 3 || parts.at(2).size() != 4)
        return key;
    const QString code = parts.at(2);
    // fromHex() silently skips characters that are not hex digits; a typo such as "0g02" in a form would then send
    // a three-byte frame the radio does not understand, so such a name counts as wrong like a short code does.
    if (!isHexDigits(code))
        return key;
    QString releaseCode = code;
    releaseCode.replace(2, 2, QStringLiteral("00"));
    key.valid = true;
    key.name = parts.at(1);
    key.press = QByteArray::fromHex(QStringLiteral("fe%1fd").arg(code).toLatin1());
    key.release = QByteArray::fromHex(QStringLiteral("fe%1fd").arg(releaseCode).toLatin1());
    return key;
}
