#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QUdpSocket>

// Listens on UDP 1337 like the client and keeps the newest frame whose 272
// lines all arrived, so a test can look at what the unit's screen shows.
class StreamReceiver : public QObject
{
    Q_OBJECT
public:
    explicit StreamReceiver(QObject *parent = nullptr);
    bool bind(quint16 port = 1337);

    int datagrams() const { return m_datagrams; }
    int frames() const { return m_frames; }
    QByteArray latestFrame() const { return m_latest; }
    uint16_t latestFrameNumber() const { return m_latestNumber; }
    qint64 msSinceLastDatagram() const { return m_lastDatagram.isValid() ? m_lastDatagram.elapsed() : -1; }
    // Waits for `count` more complete frames.
    bool waitForFrames(int count, int timeoutMs = 3000);
    // Complete frames per second over the next `ms` milliseconds.
    double measureFps(int ms);
    // True when no datagram arrives for `quietMs` (within timeoutMs).
    bool waitForSilence(int quietMs, int timeoutMs = 5000);

private:
    void readPending();

    QUdpSocket m_socket;
    QByteArray m_building;
    QByteArray m_latest;
    int m_buildingNumber = -1;
    int m_linesSeen = 0;
    uint16_t m_latestNumber = 0;
    int m_datagrams = 0;
    int m_frames = 0;
    QElapsedTimer m_lastDatagram;
};
