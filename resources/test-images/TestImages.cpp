#include "TestImages.h"

#include <QtGlobal>

static void registerResources()
{
    Q_INIT_RESOURCE(testimages);
}

QByteArray TestImages::passphrase()
{
    registerResources();
    return QByteArrayLiteral(VQ6020_TEST_PASSPHRASE);
}

QString TestImages::directory()
{
    return QStringLiteral(VQ6020_TEST_IMAGES_DIR);
}
