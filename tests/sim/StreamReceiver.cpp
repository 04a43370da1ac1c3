#include "StreamReceiver.h"

#include <QTest>

namespace {
constexpr int kLineBytes = 960;
constexpr int kLines = 272;
constexpr int kDatagram = 966;
} // namespace

StreamReceiver::StreamReceiver(QObject *parent) : QObject(parent), m_building(kLineBytes * kLines, '\0')
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &StreamReceiver::readPending);
}

bool StreamReceiver::bind(quint16 port)
{
    if (!m_socket.bind(QHostAddress(QHostAddress::AnyIPv4), port))
        return false;
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8 * 1024 * 1024);
    return true;
}

void StreamReceiver::readPending()
{
    char d[kDatagram + 1];
    while (m_socket.hasPendingDatagrams()) {
        if (m_socket.readDatagram(d, sizeof d) != kDatagram)
            continue;
        ++m_datagrams;
        m_lastDatagram.start();
        const int number = uint8_t(d[2]) | uint8_t(d[3]) << 8;
        const int line = uint8_t(d[4]) | uint8_t(d[5]) << 8;
        if (line >= kLines)
            continue;
        if (number != m_buildingNumber) {
            m_buildingNumber = number;
            m_linesSeen = 0;
        }
        memcpy(m_building.data() + line * kLineBytes, d + 6, kLineBytes);
        ++m_linesSeen;
        if (line == kLines - 1 && m_linesSeen == kLines) {
            m_latest = m_building;
            m_latest.detach();
            m_latestNumber = uint16_t(number);
            ++m_frames;
        }
    }
}

bool StreamReceiver::waitForFrames(int count, int timeoutMs)
{
    const int target = m_frames + count;
    return QTest::qWaitFor([&]() { return m_frames >= target; }, timeoutMs);
}

double StreamReceiver::measureFps(int ms)
{
    const int start = m_frames;
    QTest::qWait(ms);
    return (m_frames - start) * 1000.0 / ms;
}

bool StreamReceiver::waitForSilence(int quietMs, int timeoutMs)
{
    return QTest::qWaitFor(
        [&]() {
            readPending();
            return !m_lastDatagram.isValid() || m_lastDatagram.elapsed() >= quietMs;
        },
        timeoutMs);
}
