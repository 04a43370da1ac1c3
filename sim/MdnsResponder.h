#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

namespace QMdnsEngine {
class AbstractServer;
class Message;
} // namespace QMdnsEngine

// Answers mDNS address queries for the unit's host name with an IPv4 address of
// the interface the query arrived on, as a unit on the LAN does.
class MdnsResponder : public QObject
{
    Q_OBJECT
public:
    // Uses server when given (tests), else opens the engine's UDP server on 5353.
    explicit MdnsResponder(QMdnsEngine::AbstractServer *server = nullptr, QObject *parent = nullptr);
    ~MdnsResponder() override;

    bool start();
    QString hostname() const { return QString::fromLatin1(m_hostname); }
    int answersSent() const { return m_answers; }

    // The local IPv4 address on the same network as peer (127.0.0.1 for
    // loopback peers); a non-loopback address of the host when none matches.
    static QHostAddress localAddressFor(const QHostAddress &peer);

private slots:
    void onMessage(const QMdnsEngine::Message &message);

private:
    std::unique_ptr<QMdnsEngine::AbstractServer> m_ownServer;
    QMdnsEngine::AbstractServer *m_server;
    QByteArray m_hostname;
    int m_answers = 0;
};
