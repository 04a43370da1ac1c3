#pragma once

#include "link/Codec.h"
#include "link/ResponseReader.h"
#include "link/SocketWrapper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QTest>

#include <algorithm>

// Connection storms against a relay listening on 127.0.0.1:4242, with the relay's resident memory sampled as they
// go: plain connect/close cycles from 64 rotating loopback sources (so the per-source limit does not turn most of them
// away before the relay has taken them on), and whole sessions (handshake with the right key, one register read
// answered, close).
class RelayStorm
{
public:
    RelayStorm(qint64 relayPid, const QByteArray &key) : m_pid(relayPid), m_key(key) {}

    static qint64 rssKb(qint64 pid)
    {
        QFile f(QStringLiteral("/proc/%1/status").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        return -1;
    }
    qint64 rssKb() { return sample(); }
    qint64 peakKb() const { return m_peakKb; }
    void resetPeak() { m_peakKb = rssKb(m_pid); }

    void cycles(int n)
    {
        QTimer tick; // wakes the waits below whatever else happens
        tick.start(50);
        for (int i = 0; i < n; ++i) {
            QTcpSocket s;
            s.bind(QHostAddress(QStringLiteral("127.0.1.%1").arg(1 + m_cycles++ % 64)));
            s.connectToHost(QHostAddress::LocalHost, 4242);
            // Waits in the event loop, not inside the socket: the relay's output is read meanwhile. A relay blocked on
            // a full pipe stops accepting, and a storm that outruns it would then wait for SYN retransmissions.
            QElapsedTimer waited;
            waited.start();
            while (s.state() != QAbstractSocket::ConnectedState && s.state() != QAbstractSocket::UnconnectedState &&
                   waited.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            s.abort();
            if (i % 50 == 0)
                sample();
        }
    }

    // Sessions that got their answer; to the relay here, or to another peer (the unit itself, for comparison).
    int sessions(int n, const QHostAddress &to = QHostAddress(QHostAddress::LocalHost))
    {
        int answered = 0;
        for (int i = 0; i < n; ++i) {
            answered += session(to);
            sample();
        }
        return answered;
    }

    // Waits until the relay's memory stops changing (nothing left to tear down) and returns it.
    qint64 settle(int quietMs = 1200, int maxMs = 15000)
    {
        QElapsedTimer t;
        t.start();
        qint64 last = sample();
        while (t.elapsed() < maxMs) {
            QTest::qWait(quietMs);
            const qint64 now = sample();
            if (now == last)
                break;
            last = now;
        }
        return last;
    }

private:
    bool session(const QHostAddress &to)
    {
        static const QByteArray read = [] {
            Request r = Request_init_zero;
            r.counter = 9;
            r.ackRequired = true;
            r.which_payload = Request_read_tag;
            r.payload.read.addr = 0xF0000004; // ctrl_scratch
            return encodeRequest(r);
        }();
        SocketWrapper s;
        s.connectToHost(to, 4242);
        if (!s.waitForConnected(2000))
            return false;
        s.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        s.tlsSetup(m_key, true);
        bool sent = false;
        bool answered = false;
        ResponseReader reader;
        reader.onResponse = [&](const Response &r) {
            answered |= r.counter == 9 && r.which_payload == Response_registerValue_tag;
        };
        QTimer tick;
        tick.start(50);
        QElapsedTimer waited;
        waited.start();
        while (!answered && waited.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            reader.feed(s.readDecrypted());
            if (!sent && s.isHandshakeDone()) {
                s.writeEncrypted(read);
                sent = true;
            }
        }
        s.abort();
        return answered;
    }
    qint64 sample()
    {
        const qint64 now = rssKb(m_pid);
        m_peakKb = std::max(m_peakKb, now);
        return now;
    }

    qint64 m_pid;
    QByteArray m_key;
    qint64 m_peakKb = 0;
    int m_cycles = 0;
};
