#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// An `openssl s_server` or `s_client` speaking TLS 1.2 PSK with the unit's
// single ciphersuite and identity, driven through its standard streams.
class OpenSslPeer
{
public:
    ~OpenSslPeer();

    // Starts s_server on 127.0.0.1 (an ephemeral port unless one is given); returns the port, or 0.
    quint16 startServer(const QByteArray &keyHex, quint16 port = 0);
    bool startClient(const QByteArray &keyHex, quint16 port);

    void send(const QByteArray &bytes);
    // Everything the peer printed so far (received plaintext and its own notes).
    QByteArray output();
    bool waitForOutput(const QByteArray &needle, int timeoutMs = 5000);
    bool waitForExit(int timeoutMs = 5000);
    void kill();

private:
    bool start(const QStringList &args);
    QProcess m_process;
    QByteArray m_output;
};
