// A hostile peer on the link: multicasts, as fast as it can, responses that announce ever new
// service instances (of an unrelated type) with large TXT records, alternating with queries full of ANY questions
// (some about names our responders own, so that they have to answer). It stops after a number
// of seconds or of datagrams, whichever comes first, and prints how many it sent.
//   mdns_flooder [--seconds S] [--count N] [--ask name]...
#include "discovery/mdns/Dns.h"
#include "discovery/mdns/Message.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace QMdnsEngine;

namespace {

QByteArray announcement(quint64 n)
{
    // Not the relay's type: anyone may advertise a relay, and a fake one is a different matter.
    const QByteArray instance = "flood-" + QByteArray::number(n) + "._http._tcp.local.";
    const QByteArray host = "flood-" + QByteArray::number(n) + ".local.";
    Message message;
    message.setResponse(true);
    Record ptr;
    ptr.setName("_http._tcp.local.");
    ptr.setType(PTR);
    ptr.setTtl(4500);
    ptr.setTarget(instance);
    message.addRecord(ptr);
    Record srv;
    srv.setName(instance);
    srv.setType(SRV);
    srv.setTtl(4500);
    srv.setFlushCache(true);
    srv.setTarget(host);
    srv.setPort(quint16(1024 + n % 60000));
    message.addRecord(srv);
    // 1 to 8 KB of TXT: one 250-byte string per key; the larger ones leave in IP fragments.
    Record txt;
    txt.setName(instance);
    txt.setType(TXT);
    txt.setTtl(4500);
    txt.setFlushCache(true);
    const int strings = 4 + int(n % 29);
    for (int i = 0; i < strings; ++i)
        txt.addAttribute("k" + QByteArray::number(i), QByteArray(244, char('a' + (n + i) % 26)));
    message.addRecord(txt);
    Record a;
    a.setName(host);
    a.setType(A);
    a.setTtl(120);
    a.setFlushCache(true);
    a.setAddress(QHostAddress(quint32(0x0a4e0000u + 10 + n % 200)));
    message.addRecord(a);
    return encodeMessage(message);
}

QByteArray questions(quint64 n, const QList<QByteArray> &asked)
{
    Message message;
    for (const QByteArray &name : asked) {
        Query query;
        query.setName(name);
        query.setType(ANY);
        message.addQuery(query);
    }
    for (int i = 0; i < 40; ++i) {
        Query query;
        query.setName("q-" + QByteArray::number(n) + '-' + QByteArray::number(i) + ".local.");
        query.setType(ANY);
        message.addQuery(query);
    }
    return encodeMessage(message);
}

} // namespace

int main(int argc, char *argv[])
{
    double seconds = 20;
    quint64 limit = 2000000;
    QList<QByteArray> asked{"_fernholow._tcp.local.", "_services._dns-sd._udp.local."};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--seconds"))
            seconds = atof(argv[i + 1]);
        else if (!strcmp(argv[i], "--count"))
            limit = strtoull(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--ask"))
            asked.append(argv[i + 1]);
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1, ttl = 255;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(MdnsPort);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        perror("mdns_flooder: bind");
        return 1;
    }
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(MdnsPort);
    inet_pton(AF_INET, "224.0.0.251", &group.sin_addr);

    QElapsedTimer clock;
    clock.start();
    quint64 sent = 0, bytes = 0;
    const qint64 stopMs = qint64(seconds * 1000);
    while (sent < limit && clock.elapsed() < stopMs) {
        const QByteArray packet = sent % 2 ? questions(sent, asked) : announcement(sent);
        // A full send queue only slows us down; the point is to keep it full.
        if (sendto(fd, packet.constData(), size_t(packet.size()), 0, reinterpret_cast<sockaddr *>(&group),
                   sizeof group) > 0) {
            ++sent;
            bytes += quint64(packet.size());
        }
    }
    printf("mdns_flooder: sent %llu datagrams, %llu bytes in %lld ms\n", static_cast<unsigned long long>(sent),
           static_cast<unsigned long long>(bytes), static_cast<long long>(clock.elapsed()));
    close(fd);
    return 0;
}
