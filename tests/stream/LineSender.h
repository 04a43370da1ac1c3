#pragma once

#include "stream/ReceiveBuffer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QUdpSocket>
#include <QVector>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>

// Plays the unit's side of the screen stream: one 966-byte datagram per screen line
// (2 unused bytes, frame number and line number little-endian, 960 pixel bytes). Made after the
// receiver is bound, it never sends more than the receiver's buffer has room for, so a small buffer
// granted on a stock host slows the bursts down instead of losing lines.
class LineSender
{
public:
    static constexpr int kDatagram = 966;
    static constexpr int kLines = 272;
    static constexpr int kStride = 960;

    explicit LineSender(quint16 port = 1337, const QHostAddress &to = QHostAddress::LocalHost)
        : m_port(port), m_to(to), m_buf(kDatagram, '\0'), m_receiver(port)
    {
        m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        // Bursts of whole frames must leave this side in one piece too.
        m_socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4 * 1024 * 1024);
    }

    // The pixel byte i of a line, distinct per frame number and line so that a line
    // written to the wrong place or left stale shows up.
    static uint8_t pattern(uint16_t frameNumber, uint16_t line, int i)
    {
        return uint8_t((frameNumber * 131u + line * 7u + unsigned(i) * 3u + (unsigned(i) >> 8)) & 0xffu);
    }

    static QByteArray expectedLine(uint16_t frameNumber, uint16_t line)
    {
        QByteArray out(kStride, '\0');
        for (int i = 0; i < kStride; ++i)
            out[i] = char(pattern(frameNumber, line, i));
        return out;
    }

    void sendLine(uint16_t frameNumber, uint16_t line)
    {
        m_buf[0] = char(0x5a);
        m_buf[1] = char(0xa5);
        m_buf[2] = char(frameNumber & 0xff);
        m_buf[3] = char(frameNumber >> 8);
        m_buf[4] = char(line & 0xff);
        m_buf[5] = char(line >> 8);
        uint8_t *px = reinterpret_cast<uint8_t *>(m_buf.data()) + 6;
        for (int i = 0; i < kStride; ++i)
            px[i] = pattern(frameNumber, line, i);
        send(m_buf);
    }

    void send(const QByteArray &datagram)
    {
        m_receiver.waitForRoom(datagram.size());
        m_socket.writeDatagram(datagram, m_to, m_port);
    }

    // Lines 0..271 in the given order; the default is top to bottom.
    void sendFrame(uint16_t frameNumber, const QVector<int> &order = ascending())
    {
        for (int line : order)
            sendLine(frameNumber, uint16_t(line));
    }

    static QVector<int> ascending()
    {
        QVector<int> v(kLines);
        std::iota(v.begin(), v.end(), 0);
        return v;
    }

    // Lines 0..270 shuffled, then 271: the frame still completes on its last line.
    static QVector<int> shuffledThenLast(unsigned seed)
    {
        QVector<int> v(kLines - 1);
        std::iota(v.begin(), v.end(), 0);
        std::mt19937 rng(seed);
        std::shuffle(v.begin(), v.end(), rng);
        v << kLines - 1;
        return v;
    }

private:
    quint16 m_port;
    QHostAddress m_to;
    QUdpSocket m_socket;
    QByteArray m_buf;
    ReceiveBuffer m_receiver;
};
