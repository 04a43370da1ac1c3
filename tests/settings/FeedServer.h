#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

// A local HTTPS server (feed_server.py next to this file) with a self-signed certificate made by openssl for
// 127.0.0.1. trust() adds that certificate to this process's default TLS configuration only.
class FeedServer
{
public:
    ~FeedServer() { stop(); }

    static QString script()
    {
        return qEnvironmentVariable("VQ6020_SOURCE_DIR", QStringLiteral(VQ6020_SOURCE_FALLBACK)) +
               QStringLiteral("/tests/settings/feed_server.py");
    }
    static bool toolsPresent()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("python3")).isEmpty() &&
               !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();
    }

    // Makes the certificate and starts serving dir; false (with the reason in error()) when either failed.
    bool start(const QString &dir)
    {
        if (!m_keys.isValid())
            return fault(QStringLiteral("no temporary folder"));
        m_cert = m_keys.filePath(QStringLiteral("cert.pem"));
        const QString key = m_keys.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
                       "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout",
                       key, "-out", m_cert});
        if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
            return fault(QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAll()));
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start(QStringLiteral("python3"), {script(), "--cert", m_cert, "--key", key, "--dir", dir});
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000 && m_port == 0) {
            m_server.waitForReadyRead(100);
            m_output += QString::fromUtf8(m_server.readAllStandardOutput());
            const int at = m_output.indexOf(QLatin1String("port "));
            const int end = m_output.indexOf(QLatin1Char('\n'), at);
            if (at >= 0 && end > at)
                m_port = m_output.mid(at + 5, end - at - 5).toInt();
            if (m_server.state() == QProcess::NotRunning)
                return fault(QStringLiteral("the feed server did not start"));
        }
        return m_port != 0 || fault(QStringLiteral("the feed server printed no port"));
    }

    // Trusts this server's certificate in this process, on top of the system's authorities.
    void trust() const
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(config.caCertificates() + QSslCertificate::fromPath(m_cert));
        QSslConfiguration::setDefaultConfiguration(config);
    }

    void stop()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        m_server.kill();
        m_server.waitForFinished(5000);
    }

    QUrl url(const QString &path) const { return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(m_port).arg(path)); }
    int port() const { return m_port; }
    QString certificate() const { return m_cert; }
    QString error() const { return m_error; }
    // Requests seen so far for paths starting with prefix.
    int requests(const QString &prefix = QStringLiteral("/"))
    {
        m_output += QString::fromUtf8(m_server.readAllStandardOutput());
        return m_output.count(QStringLiteral("GET ") + prefix);
    }

private:
    bool fault(const QString &why)
    {
        m_error = why;
        return false;
    }

    QTemporaryDir m_keys;
    QString m_cert;
    QProcess m_server;
    QString m_output;
    QString m_error;
    int m_port = 0;
};
