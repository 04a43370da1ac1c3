#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// The gateware and firmware images carried in the resources, enciphered with
// AES-256-CBC (zero IV, PKCS#7 padding, as `openssl enc` writes it) under the
// SHA-256 of a passphrase, each with a ".size" companion holding its plain size.
//
// An image opens only if its stored length and padding agree with its size
// file under this object's passphrase; anything else (a damaged resource, or
// an image enciphered under another passphrase, such as the test images) is
// refused with a reason instead of turning into zeros.
class Blobs : public QObject
{
    Q_OBJECT
public:
    // Where the build puts the images (see vq_add_image_resources).
    static constexpr char kResourceFolder[] = ":/blobs/blobs";

    // The product's passphrase: the only one the application knows.
    static QByteArray productPassphrase();

    explicit Blobs(QByteArray passphrase = productPassphrase(), QString folder = QString::fromLatin1(kResourceFolder),
                   QObject *parent = nullptr);

    // Whether this build carries images at all.
    bool present() const;
    // Empty (with error() set) when the image cannot be opened.
    QByteArray gateware() const;
    QByteArray firmware() const;
    QString error() const { return m_error; }
    // Images opened under any other passphrase are test content: they are
    // written only to an emulated unit.
    bool testContent() const;

private:
    QByteArray open(const QString &name) const;

    QByteArray m_key;
    QString m_folder;
    mutable QString m_error;
};
