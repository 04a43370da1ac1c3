#include "maintenance/Blobs.h"

#include <QCryptographicHash>
#include <QFile>

#include <mbedtls/aes.h>

QByteArray Blobs::productPassphrase()
{
    return QByteArrayLiteral("VQ6020 unit images: gateware, firmware");
}

Blobs::Blobs(QByteArray passphrase, QString folder, QObject *parent)
    : QObject(parent), m_key(QCryptographicHash::hash(passphrase, QCryptographicHash::Sha256)),
      m_folder(std::move(folder))
{
}

bool Blobs::testContent() const
{
    return m_key != QCryptographicHash::hash(productPassphrase(), QCryptographicHash::Sha256);
}

bool Blobs::present() const
{
    return QFile::exists(m_folder + QStringLiteral("/gateware")) &&
           QFile::exists(m_folder + QStringLiteral("/firmware"));
}

QByteArray Blobs::gateware() const
{
    return open(QStringLiteral("gateware"));
}

QByteArray Blobs::firmware() const
{
    return open(QStringLiteral("firmware"));
}

QByteArray Blobs::open(const QString &name) const
{
    m_error.clear();
    const QString path = m_folder + QLatin1Char('/') + name;
    QFile stored(path);
    QFile sizeFile(path + QStringLiteral(".size"));
    if (!stored.open(QIODevice::ReadOnly) || !sizeFile.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("The %1 image is missing from this build.").arg(name);
        return {};
    }
    const QByteArray cipher = stored.readAll();
    bool ok = false;
    const qint64 plainSize = sizeFile.readAll().trimmed().toLongLong(&ok, 10);

    // PKCS#7 always pads, by 1 to 16 bytes: that ties the stored length to the
    // plain size, and the pad bytes check the passphrase.
    const qint64 pad = cipher.size() - plainSize;
    if (cipher.isEmpty() || !ok || plainSize <= 0 || cipher.size() % 16 != 0 || pad < 1 || pad > 16) {
        m_error = QStringLiteral("The %1 image does not match its size file (%2 bytes stored, size \"%3\").")
                      .arg(name)
                      .arg(cipher.size())
                      .arg(ok ? QString::number(plainSize) : QStringLiteral("unreadable"));
        return {};
    }

    QByteArray plain(cipher.size(), '\0');
    unsigned char iv[16] = {};
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    int rc = mbedtls_aes_setkey_dec(&aes, reinterpret_cast<const unsigned char *>(m_key.constData()), 256);
    if (rc == 0)
        rc = mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, size_t(cipher.size()), iv,
                                   reinterpret_cast<const unsigned char *>(cipher.constData()),
                                   reinterpret_cast<unsigned char *>(plain.data()));
    mbedtls_aes_free(&aes);
    if (rc != 0) {
        m_error = QStringLiteral("The %1 image could not be deciphered (%2).").arg(name).arg(rc);
        return {};
    }
    for (qint64 i = plainSize; i < plain.size(); ++i) {
        if (static_cast<unsigned char>(plain[int(i)]) != pad) {
            m_error = QStringLiteral("The %1 image was not enciphered for this program.").arg(name);
            return {};
        }
    }
    plain.truncate(int(plainSize));
    return plain;
}
