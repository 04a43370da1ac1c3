#include "link/SocketWrapper.h"

#include <QRandomGenerator>
#include <QtDebug>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/debug.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>

namespace {

// The unit accepts exactly this suite; offering more would only widen what a
// peer could negotiate.
const int kCiphersuites[] = {MBEDTLS_TLS_PSK_WITH_AES_128_GCM_SHA256, 0};
const char kPskIdentity[] = "PSK_identity";
// After sending its Finished the client waits for the server's ChangeCipherSpec,
// or first for a NewSessionTicket when the server accepted the ticket extension
// (OpenSSL does). A peer holding another key drops the connection in either.
bool clientAwaitsServerFinish(int tlsState)
{
    return tlsState == MBEDTLS_SSL_SERVER_CHANGE_CIPHER_SPEC || tlsState == MBEDTLS_SSL_SERVER_NEW_SESSION_TICKET;
}

void discardDebug(void *, int, const char *, int, const char *) {}

QString hex(int code)
{
    return code < 0 ? QStringLiteral("-0x%1").arg(-code, 4, 16, QLatin1Char('0'))
                    : QStringLiteral("0x%1").arg(code, 4, 16, QLatin1Char('0'));
}

} // namespace

struct SocketWrapper::Tls {
    mbedtls_net_context net;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
};

SocketWrapper::SocketWrapper(QObject *parent) : QTcpSocket(parent), m_tls(std::make_unique<Tls>())
{
    qInfo().noquote() << "mBed TLS Wrapper Active";
    mbedtls_debug_set_threshold(4);
    mbedtls_net_init(&m_tls->net);
    mbedtls_ssl_init(&m_tls->ssl);
    mbedtls_ssl_config_init(&m_tls->conf);
    mbedtls_entropy_init(&m_tls->entropy);
    mbedtls_ctr_drbg_init(&m_tls->drbg);

    quint64 personalisation[4];
    QRandomGenerator::system()->fillRange(personalisation);
    const int rc =
        mbedtls_ctr_drbg_seed(&m_tls->drbg, mbedtls_entropy_func, &m_tls->entropy,
                              reinterpret_cast<const unsigned char *>(personalisation), sizeof(personalisation));
    if (rc != 0)
        qInfo().noquote() << "Failed mbedtls_ctr_drbg_seed returned " + QString::number(rc);

    // A socket error makes the next receive report a reset, and one handshake
    // step classifies a connection that died mid-handshake right away.
    connect(this, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        m_errorSeen = true;
        // A failing flush inside one of our own TLS calls reports its error from
        // within that call; the engine must not be re-entered, and the outer call
        // sees the reset through the receive callback.
        if (!m_inTlsCall)
            handshakeStep();
    });
    // Plaintext queued for a connection that died before it could be sent must
    // not reach the next peer (a stale key press replayed minutes later). A
    // failure inside our own write is left to that write to report and discard.
    connect(this, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::UnconnectedState && !m_inTlsCall)
            m_pendingOutput.clear();
        // The session belongs to the connection that just ended. Until tlsSetup runs for the next
        // one, nothing may be encrypted with its keys: such a record would reach the new peer ahead
        // of our ClientHello, and the alert it earns would read as a refused key.
        if (s != QAbstractSocket::ConnectedState) {
            m_tlsReady = false;
            m_handshakeDone = false;
        }
    });
}

SocketWrapper::~SocketWrapper()
{
    // Closing while the TLS state still exists; the base destructor must not
    // call back into this half-destroyed object.
    disconnect(this, nullptr, this, nullptr);
    abort();
    mbedtls_ssl_free(&m_tls->ssl);
    mbedtls_ssl_config_free(&m_tls->conf);
    mbedtls_ctr_drbg_free(&m_tls->drbg);
    mbedtls_entropy_free(&m_tls->entropy);
    mbedtls_net_free(&m_tls->net);
}

void SocketWrapper::tlsSetup(const QByteArray &key, bool client)
{
    qInfo().noquote() << "mBed TLS Wrapper tlsSetup";
    m_handshakeDone = false;
    m_errorSeen = false;
    m_credentialsReported = false;

    // A reused socket starts from a fresh context and configuration.
    mbedtls_ssl_free(&m_tls->ssl);
    mbedtls_ssl_config_free(&m_tls->conf);
    mbedtls_net_init(&m_tls->net);
    mbedtls_ssl_init(&m_tls->ssl);
    mbedtls_ssl_config_init(&m_tls->conf);

    qInfo().noquote() << "Setting up the SSL/TLS structure...";
    int rc = mbedtls_ssl_config_defaults(&m_tls->conf, client ? MBEDTLS_SSL_IS_CLIENT : MBEDTLS_SSL_IS_SERVER,
                                         MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc != 0)
        qInfo().noquote() << "Failed mbedtls_ssl_config_defaults returned " + QString::number(rc);
    mbedtls_ssl_conf_authmode(&m_tls->conf, MBEDTLS_SSL_VERIFY_NONE);
    mbedtls_ssl_conf_ciphersuites(&m_tls->conf, kCiphersuites);
    rc =
        mbedtls_ssl_conf_psk(&m_tls->conf, reinterpret_cast<const unsigned char *>(key.constData()), size_t(key.size()),
                             reinterpret_cast<const unsigned char *>(kPskIdentity), sizeof(kPskIdentity) - 1);
    if (rc != 0)
        qInfo().noquote() << "Failed mbedtls_ssl_conf_psk returned " + QString::number(rc);
    mbedtls_ssl_conf_rng(&m_tls->conf, mbedtls_ctr_drbg_random, &m_tls->drbg);
    mbedtls_ssl_conf_dbg(&m_tls->conf, discardDebug, nullptr);

    rc = mbedtls_ssl_setup(&m_tls->ssl, &m_tls->conf);
    if (rc != 0)
        qInfo().noquote() << "Failed mbedtls_ssl_setup returned " + QString::number(rc);
    mbedtls_ssl_set_bio(&m_tls->ssl, this, &SocketWrapper::sendCallback, &SocketWrapper::receiveCallback, nullptr);
    m_tlsReady = true;
    handshakeStep();
}

int SocketWrapper::receiveCallback(void *ctx, unsigned char *buf, size_t len)
{
    auto *self = static_cast<SocketWrapper *>(ctx);
    if (!self)
        return -1;
    if (self->state() != QAbstractSocket::ConnectedState || self->m_errorSeen)
        return MBEDTLS_ERR_NET_CONN_RESET;
    if (self->bytesAvailable() > 0)
        return int(self->read(reinterpret_cast<char *>(buf), qint64(len)));
    return MBEDTLS_ERR_SSL_WANT_READ;
}

int SocketWrapper::sendCallback(void *ctx, const unsigned char *buf, size_t len)
{
    auto *self = static_cast<SocketWrapper *>(ctx);
    if (!self || self->state() != QAbstractSocket::ConnectedState)
        return -1;
    const qint64 written = self->write(reinterpret_cast<const char *>(buf), qint64(len));
    self->flush();
    return int(written);
}

bool SocketWrapper::handshakeStep()
{
    if (!m_tlsReady || state() != QAbstractSocket::ConnectedState)
        return false;
    if (m_tls->ssl.state == MBEDTLS_SSL_HANDSHAKE_OVER)
        return true;

    // Runs every handshake message that the bytes at hand allow; one message per
    // call would stall when several records arrive in one segment.
    m_inTlsCall = true;
    const int rc = mbedtls_ssl_handshake(&m_tls->ssl);
    leaveTlsCall();
    const int tlsState = m_tls->ssl.state;
    qInfo().noquote() << QStringLiteral("mbedtls_ssl_handshake: %1 %2").arg(tlsState).arg(hex(rc));

    if ((rc == 0 || rc == MBEDTLS_ERR_SSL_WANT_READ) && tlsState == MBEDTLS_SSL_HANDSHAKE_OVER) {
        m_handshakeDone = true;
        emit handshakeDone();
        qInfo().noquote() << "Handshake complete";
        return true;
    }

    const bool refused = (rc == MBEDTLS_ERR_NET_CONN_RESET && clientAwaitsServerFinish(tlsState)) ||
                         rc == MBEDTLS_ERR_SSL_INVALID_MAC || rc == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE;
    if (refused && !m_credentialsReported) {
        // The peer's alert and its close both end up here; the owner hears it once.
        m_credentialsReported = true;
        qInfo().noquote() << "Credentials likely bad.";
        emit badCredentials();
    }

    // After any other error the TLS context is unusable; keeping the connection
    // would leave a peer that sent garbage holding it open indefinitely.
    if (rc != 0 && rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
        qInfo().noquote() << "Close and abort handshake " + hex(rc);
        closeAndAbort();
    }
    return false;
}

QByteArray SocketWrapper::readDecrypted()
{
    QByteArray result;
    unsigned char scratch[4098];
    for (;;) {
        if (!handshakeStep())
            break;
        sendPending();
        if (state() != QAbstractSocket::ConnectedState)
            break; // sending failed and closed the connection
        m_inTlsCall = true;
        const int rc = mbedtls_ssl_read(&m_tls->ssl, scratch, sizeof(scratch));
        leaveTlsCall();
        if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == 0)
            break;
        if (rc < 0) {
            qInfo().noquote() << "Close and abort read " + hex(rc);
            closeAndAbort();
            break;
        }
        result.append(reinterpret_cast<const char *>(scratch), rc);
    }
    return result;
}

int SocketWrapper::writeEncrypted(const QByteArray &data)
{
    m_pendingOutput.append(data);
    if (handshakeStep())
        sendPending();
    return data.size();
}

bool SocketWrapper::isHandshakeDone() const
{
    return m_handshakeDone;
}

void SocketWrapper::sendPending()
{
    while (!m_pendingOutput.isEmpty()) {
        m_inTlsCall = true;
        const int rc =
            mbedtls_ssl_write(&m_tls->ssl, reinterpret_cast<const unsigned char *>(m_pendingOutput.constData()),
                              size_t(m_pendingOutput.size()));
        m_inTlsCall = false;
        if (rc < 0) {
            qInfo().noquote() << "Close and abort write " + hex(rc);
            m_pendingOutput.clear();
            closeAndAbort();
            return;
        }
        m_pendingOutput.remove(0, rc);
    }
}

void SocketWrapper::leaveTlsCall()
{
    m_inTlsCall = false;
    // The connection may have died inside the call, where the state handler
    // left the pending output alone.
    if (state() == QAbstractSocket::UnconnectedState)
        m_pendingOutput.clear();
}

void SocketWrapper::closeAndAbort()
{
    abort();
    close();
}
