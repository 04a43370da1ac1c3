#pragma once

#include "discovery/mdns/Message.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The DNS message format as multicast DNS uses it: pure functions over bytes,
// so that everything a peer can send is testable (and fuzzable) without sockets.
namespace QMdnsEngine {

constexpr quint16 MdnsPort = 5353;
extern const QHostAddress MdnsIpv4Address;
extern const QHostAddress MdnsIpv6Address;
// The DNS-SD name under which responders list the service types they offer.
extern const QByteArray MdnsBrowseType;

// Record lifetimes: what names a host (addresses, SRV) changes with the network and is kept
// short so that others drop a moved host within two minutes; the rest lives 75 minutes.
constexpr quint32 MdnsHostRecordTtl = 120;
constexpr quint32 MdnsOtherRecordTtl = 4500;

// The most a message we send may take, so that it fits one Ethernet frame with IPv6;
// longer lists of questions or known answers go out in several messages.
constexpr int MdnsMaxMessageBytes = 1400;

enum : quint16 {
    A = 1,
    PTR = 12,
    TXT = 16,
    AAAA = 28,
    SRV = 33,
    NSEC = 47,
    ANY = 255,
};

// Decodes one datagram. Any fault (short header, bad label length, a pointer that
// does not point backwards, a chain of pointers longer than a real encoder makes,
// a name longer than 255 bytes, a read past the end, an NSEC window other than 0)
// rejects the whole datagram: false, and message is left unchanged.
bool decodeMessage(const QByteArray &packet, Message &message);

// Encodes a message with name compression over the whole datagram (names inside
// PTR, SRV and NSEC data included).
void encodeMessage(const Message &message, QByteArray &packet);
QByteArray encodeMessage(const Message &message);

// DNS names compare without regard to ASCII case ("VQ6020.local." is "vq6020.local.");
// bytes outside A-Z are compared as they are.
QByteArray foldName(const QByteArray &name);
bool sameName(const QByteArray &a, const QByteArray &b);
// name ends with "." + suffix, compared without case.
bool nameInDomain(const QByteArray &name, const QByteArray &suffix);

// Splits a message that would encode to more than maxBytes into several that do not (a single
// record larger than that travels alone). The first keeps the questions; a query's further
// messages carry its remaining known answers, and all but its last have the truncated flag,
// so responders wait for the rest before they answer.
QList<Message> splitMessage(const Message &message, int maxBytes = MdnsMaxMessageBytes);

// "A", "PTR", "TXT", "AAAA", "SRV", "NSEC", "ANY", or "?" for any other type.
QString typeName(quint16 type);

} // namespace QMdnsEngine
