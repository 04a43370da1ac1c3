#include "stream/PylonWorker.h"

#include "app/StatsClient.h"

#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTextStream>
#include <QUdpSocket>

#include <atomic>
#include <cstring>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
constexpr int kSlotBytes = 1024;
// Enough for several hundred microseconds of the stream at its fastest; more only
// costs memory, fewer costs system calls.
constexpr int kBatch = 64;
// Under a flood the queue may never run dry; returning to the event loop every couple
// of frames lets the frames coming back through buffDispose() re-enter the pool. The
// descriptor is still readable, so reading resumes at once.
constexpr int kMaxPerWakeup = 2 * Frame_t::Height;

// The short-buffer warning is about the machine, not about one worker: say it once.
std::atomic<bool> g_smallBufferWarned{false};

inline uint16_t readLe16(const uint8_t *p)
{
    return uint16_t(p[0] | (uint16_t(p[1]) << 8));
}

const int s_frameMetaTypeId = qRegisterMetaType<Frame_t *>("Frame_t*");
} // namespace

PylonWorker::PylonWorker(QObject *parent) : PylonWorker(defaultReceivePath(), parent) {}

PylonWorker::PylonWorker(ReceivePath path, QObject *parent)
    : QObject(parent), m_path(path), m_pool(kPoolFrames, FrameOwner::VideoWorker),
      m_slots(new uint8_t[size_t(kSlotBytes) * kBatch])
{
    // Queued connections across the worker thread need the pointer type registered;
    // every user constructs a worker before connecting to it.
    qRegisterMetaType<Frame_t *>("Frame_t*");
    Q_UNUSED(s_frameMetaTypeId);
#ifndef Q_OS_LINUX
    m_path = ReceivePath::Portable;
#endif
    m_current = m_pool.take();
}

PylonWorker::~PylonWorker()
{
    // The notifier and socket are children; the descriptor is ours to close.
    delete m_notifier;
    m_notifier = nullptr;
#ifdef Q_OS_LINUX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

PylonWorker::ReceivePath PylonWorker::defaultReceivePath()
{
#ifdef Q_OS_LINUX
    return ReceivePath::Batched;
#else
    return ReceivePath::Portable;
#endif
}

void PylonWorker::startWorker()
{
    if (m_socket || m_fd >= 0)
        return;
    m_runClock.start();
    const bool ok = m_path == ReceivePath::Batched ? bindBatched() : bindPortable();
    if (!ok) {
        qInfo().noquote() << "Failed to open port\nApp already open?";
        return;
    }
    qInfo().noquote() << "Started Network Worker Thread.";
}

bool PylonWorker::bindPortable()
{
    m_socket = new QUdpSocket(this);
    connect(m_socket, &QUdpSocket::readyRead, this, &PylonWorker::processPendingDatagrams);
    // No address sharing: a second client on this machine must fail to bind and say
    // so, rather than silently stealing or losing half of the stream.
    if (!m_socket->bind(QHostAddress::AnyIPv4, kPort, QAbstractSocket::DontShareAddress)) {
        delete m_socket;
        m_socket = nullptr;
        return false;
    }
    m_socket->setReadBufferSize(kDatagramBytes);
    m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kRequestedReceiveBuffer);
    reportReceiveBuffer(m_socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt());
    return true;
}

bool PylonWorker::bindBatched()
{
#ifdef Q_OS_LINUX
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Sized before bind so that no early burst meets the small default buffer.
    int want = kRequestedReceiveBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    int granted = 0;
    socklen_t len = sizeof granted;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len);
    m_fd = fd;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PylonWorker::processPendingDatagrams);
    reportReceiveBuffer(granted);
    return true;
#else
    return false;
#endif
}

void PylonWorker::reportReceiveBuffer(int granted)
{
    qInfo().noquote()
        << QStringLiteral("UDP receive buffer: %1 bytes (asked for %2)").arg(granted).arg(kRequestedReceiveBuffer);
    if (granted < kMinimumReceiveBuffer && !g_smallBufferWarned.exchange(true)) {
        qWarning().noquote() << QStringLiteral("UDP receive buffer of %1 bytes holds less than two frames (%2 bytes): "
                                               "screen lines will be lost. Raise the limit, e.g. "
                                               "sysctl -w net.core.rmem_max=%3")
                                    .arg(granted)
                                    .arg(kMinimumReceiveBuffer)
                                    .arg(kRequestedReceiveBuffer);
    }
}

void PylonWorker::processPendingDatagrams()
{
    m_pendingBytes = 0;
    if (m_fd >= 0)
        readBatched();
    else if (m_socket)
        readPortable();
    if (m_pendingBytes)
        StatsClient::bytesReceived(m_pendingBytes);
}

void PylonWorker::readPortable()
{
    uint8_t *slot = m_slots.get();
    for (int read = 0; read < kMaxPerWakeup && m_socket->hasPendingDatagrams(); ++read) {
        const qint64 n = m_socket->readDatagram(reinterpret_cast<char *>(slot), kSlotBytes);
        if (n < 0 && !m_socket->hasPendingDatagrams())
            break;
        handleDatagram(slot, n < 0 ? 0 : n);
    }
}

void PylonWorker::readBatched()
{
#ifdef Q_OS_LINUX
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    for (int read = 0; read < kMaxPerWakeup;) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i].iov_base = m_slots.get() + size_t(i) * kSlotBytes;
            iov[i].iov_len = kSlotBytes;
            msgs[i].msg_hdr = msghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_len = 0;
        }
        const int n = ::recvmmsg(m_fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // EAGAIN: drained; anything else: the notifier will tell again
        }
        for (int i = 0; i < n; ++i) {
            int64_t len = msgs[i].msg_len;
            // A datagram bigger than the slot was cut; it is not a line either way.
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC)
                len = kSlotBytes + 1;
            handleDatagram(m_slots.get() + size_t(i) * kSlotBytes, len);
        }
        if (n < kBatch)
            return;
        read += n;
    }
#endif
}

void PylonWorker::handleDatagram(const uint8_t *data, int64_t length)
{
    ++m_packetCount;
    if (length != kDatagramBytes)
        return;
    m_pendingBytes += kWireBytesPerDatagram;

    const uint16_t frameNumber = readLe16(data + 2);
    const uint16_t line = readLe16(data + 4);
    if (line > kLastLine) {
        qInfo().noquote() << QStringLiteral("Bad packet %1").arg(line);
        return;
    }

    if (m_current) {
        const int delta = int(frameNumber) - int(m_lastFrameNumber);
        if (delta > 32767 || delta < -32767) {
            m_wrapOffset += 65536;
            qInfo().noquote() << QStringLiteral("PTS Unwrap, frameNumber: %1, frameNumberLast: %2 pts: %3, delta: %4")
                                     .arg(frameNumber)
                                     .arg(m_lastFrameNumber)
                                     .arg(m_wrapOffset + frameNumber)
                                     .arg(delta);
        }
        m_current->frameNumber = frameNumber;
        m_current->pts = m_wrapOffset + frameNumber;
        std::memcpy(m_current->pixels.get() + size_t(line) * Frame_t::Stride, data + kHeaderBytes, Frame_t::Stride);
        m_lastFrameNumber = frameNumber;
    }

    if (line == kLastLine) {
        if (m_current) {
            Frame_t *done = m_current;
            csvLog(kLastLine, done->frameNumber, uint64_t(done->pts));
            done->ownerTag = FrameOwner::VideoWorker;
            m_current = nullptr;
            emit newFrame(done);
        } else {
            g_framesLostNoBuffer.fetch_add(1, std::memory_order_relaxed);
        }
        m_current = m_pool.take();
        StatsClient::frameReceived();
    }
}

void PylonWorker::buffDispose(Frame_t *f)
{
    if (!f || f->ownerTag != FrameOwner::VideoWorker)
        return;
    // A returned frame waits in the free list until the next frame boundary: taking it
    // mid-frame would emit a frame whose earlier lines are stale.
    m_pool.giveBack(f);
}

void PylonWorker::logPacketData(bool state)
{
    m_csvEnabled = state;
}

void PylonWorker::csvLog(uint16_t line, uint16_t packet, uint64_t pts)
{
    if (!m_csvEnabled)
        return;
    if (!m_csvStream) {
        std::unique_ptr<QFile> file(new QFile(QStringLiteral("log.csv")));
        if (!file->open(QIODevice::ReadWrite | QIODevice::Truncate))
            return; // tried again at the next frame
        qInfo().noquote() << "Debug: High speed network metadata logging.";
        m_csvFile = std::move(file);
        m_csvStream.reset(new QTextStream(m_csvFile.get()));
        *m_csvStream << "Packet,FrameNumber,PTS,Time,LineNumber\n";
    }
    *m_csvStream << QStringLiteral("%1,%4,%5,%2,%3\n")
                        .arg(m_packetCount)
                        .arg(m_runClock.nsecsElapsed())
                        .arg(line)
                        .arg(packet)
                        .arg(pts);
    m_csvStream->flush();
}
