#pragma once

#include <QByteArray>
#include <QTcpSocket>

#include <memory>

// A TCP socket that runs TLS 1.2 with a pre-shared key over its own bytes and
// offers decrypted reads and writes to its owner. Client side for the link to the
// unit or a relay, server side for connections accepted by the relay.
class SocketWrapper : public QTcpSocket
{
    Q_OBJECT
public:
    explicit SocketWrapper(QObject *parent = nullptr);
    ~SocketWrapper() override;

    // (Re)initialises the TLS engine for the current connection with the raw key
    // bytes; client selects the endpoint. Runs one handshake step.
    void tlsSetup(const QByteArray &key, bool client);
    // Advances the handshake; true once the TLS connection is established.
    bool handshakeStep();
    // All plaintext available now (sends pending output first); empty if none.
    QByteArray readDecrypted();
    // Queues plaintext; it goes out as soon as the handshake is done. Returns the
    // number of bytes queued.
    int writeEncrypted(const QByteArray &data);
    bool isHandshakeDone() const;

signals:
    // The peer refused our key (or we refused theirs) during the handshake.
    void badCredentials();
    void handshakeDone();

private:
    struct Tls;

    static int sendCallback(void *ctx, const unsigned char *buf, size_t len);
    static int receiveCallback(void *ctx, unsigned char *buf, size_t len);
    void sendPending();
    void closeAndAbort();
    void leaveTlsCall();

    std::unique_ptr<Tls> m_tls;
    QByteArray m_pendingOutput;
    bool m_handshakeDone = false;
    bool m_errorSeen = false;
    bool m_tlsReady = false;            // tlsSetup ran: the TLS context may be driven
    bool m_credentialsReported = false; // badCredentials already emitted for this attempt
    bool m_inTlsCall = false;           // inside an mbedTLS call that may run our I/O callbacks
};
