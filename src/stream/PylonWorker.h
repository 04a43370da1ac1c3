#pragma once

#include "app/FramePool.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <memory>

class QFile;
class QSocketNotifier;
class QTextStream;
class QUdpSocket;

// Receives the unit's screen stream (one 966-byte UDP datagram per line on port 1337)
// and assembles the lines into frames of its own 20-frame pool. Constructed in the GUI
// thread, moved to a thread of its own; startWorker() is invoked there through a
// queued call, after which everything but buffDispose() runs in that thread.
class PylonWorker : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kPort = 1337;
    static constexpr int kDatagramBytes = 966;
    static constexpr int kHeaderBytes = 6;
    static constexpr int kLastLine = Frame_t::Height - 1;
    static constexpr int kPoolFrames = 20;
    // What one line costs on the wire: payload plus IPv4 and UDP headers.
    static constexpr uint32_t kWireBytesPerDatagram = kDatagramBytes + 28;
    // A full frame arrives as one burst of 272 datagrams; with the kernel's default
    // buffer (some 90 datagrams) a third of every burst would be dropped at 60 fps.
    static constexpr int kRequestedReceiveBuffer = 8 * 1024 * 1024;
    static constexpr int kMinimumReceiveBuffer = 2 * Frame_t::Height * kDatagramBytes;

    enum class ReceivePath {
        Batched, // recvmmsg on the descriptor, many datagrams per system call (Linux)
        Portable // QUdpSocket, one datagram per read
    };

    explicit PylonWorker(QObject *parent = nullptr);
    explicit PylonWorker(ReceivePath path, QObject *parent = nullptr);
    ~PylonWorker() override;

    static ReceivePath defaultReceivePath();

signals:
    void newFrame(Frame_t *f);

public slots:
    void startWorker();
    void logPacketData(bool state);
    void buffDispose(Frame_t *f);

private slots:
    void processPendingDatagrams();
    void csvLog(uint16_t line, uint16_t packet, uint64_t pts);

private:
    bool bindPortable();
    bool bindBatched();
    void reportReceiveBuffer(int granted);
    void readPortable();
    void readBatched();
    // Length is what arrived, which may be more than the bytes held in data.
    void handleDatagram(const uint8_t *data, int64_t length);

    ReceivePath m_path;
    FramePool m_pool;
    Frame_t *m_current = nullptr;
    uint16_t m_lastFrameNumber = 0;
    int64_t m_wrapOffset = 0;
    uint32_t m_packetCount = 0;
    uint32_t m_pendingBytes = 0;

    // Receive slots, allocated once; a slot is larger than a valid datagram so that an
    // oversized one shows its length instead of passing as a truncated 966-byte line.
    std::unique_ptr<uint8_t[]> m_slots;
    QUdpSocket *m_socket = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    int m_fd = -1;

    bool m_csvEnabled = false;
    std::unique_ptr<QFile> m_csvFile;
    std::unique_ptr<QTextStream> m_csvStream;
    QElapsedTimer m_runClock;
};
