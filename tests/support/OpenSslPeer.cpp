#include "OpenSslPeer.h"

#include <QRegularExpression>
#include <QtTest>

namespace {
QStringList commonArgs(const QByteArray &keyHex)
{
    return {QStringLiteral("-psk"),
            QString::fromLatin1(keyHex),
            QStringLiteral("-psk_identity"),
            QStringLiteral("PSK_identity"),
            QStringLiteral("-tls1_2"),
            QStringLiteral("-cipher"),
            QStringLiteral("PSK-AES128-GCM-SHA256")};
}
} // namespace

OpenSslPeer::~OpenSslPeer()
{
    kill();
}

bool OpenSslPeer::start(const QStringList &args)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStringLiteral("openssl"), args);
    return m_process.waitForStarted(5000);
}

quint16 OpenSslPeer::startServer(const QByteArray &keyHex, quint16 port)
{
    QStringList args{QStringLiteral("s_server"), QStringLiteral("-nocert")};
    args << commonArgs(keyHex) << QStringLiteral("-accept") << QStringLiteral("127.0.0.1:%1").arg(port);
    // With a port of its own choosing s_server names it ("ACCEPT 127.0.0.1:N"); with a given one it
    // says just "ACCEPT".
    if (!start(args) || !waitForOutput(port ? "ACCEPT" : "ACCEPT 127.0.0.1:"))
        return 0;
    if (port)
        return port;
    QTest::qWait(50); // the rest of the line
    output();
    const auto match =
        QRegularExpression(QStringLiteral("ACCEPT 127\\.0\\.0\\.1:(\\d+)")).match(QString::fromLatin1(m_output));
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

bool OpenSslPeer::startClient(const QByteArray &keyHex, quint16 port)
{
    QStringList args{QStringLiteral("s_client"), QStringLiteral("-quiet")};
    args << commonArgs(keyHex) << QStringLiteral("-connect") << QStringLiteral("127.0.0.1:%1").arg(port);
    return start(args);
}

void OpenSslPeer::send(const QByteArray &bytes)
{
    m_process.write(bytes);
    m_process.waitForBytesWritten(1000);
}

QByteArray OpenSslPeer::output()
{
    m_output += m_process.readAll();
    return m_output;
}

bool OpenSslPeer::waitForOutput(const QByteArray &needle, int timeoutMs)
{
    return QTest::qWaitFor([&] { return output().contains(needle); }, timeoutMs);
}

bool OpenSslPeer::waitForExit(int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}

void OpenSslPeer::kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}
