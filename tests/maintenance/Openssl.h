#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QProcess>

// `openssl enc` as the other implementation of the images' cipher.
namespace Openssl {

inline QByteArray aes(bool encrypt, const QByteArray &input, const QByteArray &passphrase, bool *ok)
{
    const QByteArray key = QCryptographicHash::hash(passphrase, QCryptographicHash::Sha256).toHex();
    QProcess p;
    QStringList args{QStringLiteral("enc"),    QStringLiteral("-aes-256-cbc"), QStringLiteral("-K"),
                     QString::fromLatin1(key), QStringLiteral("-iv"),          QString(32, QLatin1Char('0'))};
    if (!encrypt)
        args << QStringLiteral("-d");
    p.start(QStringLiteral("openssl"), args);
    p.write(input);
    p.closeWriteChannel();
    *ok = p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return p.readAllStandardOutput();
}

} // namespace Openssl
