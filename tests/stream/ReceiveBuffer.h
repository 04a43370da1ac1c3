#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

// The receive buffer of the UDP socket this process has bound to a port (the video worker's), seen from
// the test. The kernel caps what the worker asks for at net.core.rmem_max, 212992 bytes on a stock host
// (granted twice that), less than one 272-line burst. That limit belongs to the network namespace and
// cannot be raised from inside a test's own one, so a test either grants the socket more itself (needs
// CAP_NET_ADMIN, as root in CI) or paces its sender by the room left in the buffer actually granted.
class ReceiveBuffer
{
public:
    explicit ReceiveBuffer(quint16 port)
    {
        const QStringList fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
        for (const QString &name : fds) {
            const int fd = name.toInt();
            sockaddr_in addr{};
            socklen_t len = sizeof addr;
            int type = 0;
            socklen_t typeLen = sizeof type;
            if (::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0 && addr.sin_family == AF_INET &&
                ntohs(addr.sin_port) == port && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) == 0 &&
                type == SOCK_DGRAM) {
                m_fd = fd;
                return;
            }
        }
    }

    bool found() const { return m_fd >= 0; }

    // Bytes the socket may hold, and bytes it holds now (kernel accounting, overhead included).
    int size() const { return meminfo(SK_MEMINFO_RCVBUF); }
    int used() const { return meminfo(SK_MEMINFO_RMEM_ALLOC); }

    // Grants the socket bytes regardless of net.core.rmem_max where the test is allowed to; returns the
    // size in force afterwards.
    int force(int bytes) const
    {
        if (m_fd >= 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
        return size();
    }

    // Returns once a datagram of the given size fits without being dropped (the receiver drains the buffer
    // in its own thread), or after five seconds, when a loss that follows is the receiver's fault.
    void waitForRoom(int datagramBytes) const
    {
        if (m_fd < 0)
            return;
        // A datagram's share of the buffer is its size plus the kernel's per-packet overhead; twice the size
        // and a page cover it on loopback.
        const int need = 2 * datagramBytes + 4096;
        QDeadlineTimer deadline(5000);
        while (size() - used() < need && !deadline.hasExpired()) {
            QCoreApplication::processEvents();
            QThread::usleep(100);
        }
    }

private:
    int meminfo(int index) const
    {
        quint32 info[SK_MEMINFO_VARS] = {};
        socklen_t len = sizeof info;
        if (m_fd < 0 || ::getsockopt(m_fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0)
            return -1;
        return int(info[index]);
    }

    int m_fd = -1;
};
