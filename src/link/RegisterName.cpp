#include "link/PylonController.h"

#include <QMetaEnum>
#include <QString>

QString PylonController::registerName(uint32_t addr)
{
    const char *key = QMetaEnum::fromType<Register>().valueToKey(int(addr));
    if (key)
        return QString::fromLatin1(key);
    return QStringLiteral("0x%1").arg(addr, 8, 16, QLatin1Char('0'));
}
