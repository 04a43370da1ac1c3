#pragma once

#include "maintenance/FtdiTransport.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

// A scripted FTDI bridge: records every call and every write, answers MPSSE
// reads with TDO looped back from TDI (the chip's read register shifting as it
// does for single-bit reads), and fails where a test asks it to.
class FakeBridge
{
public:
    enum class Reads { Answer, Zero, Error, TooMuch };

    QStringList calls;
    QList<QByteArray> writes;
    QSet<int> missingProducts;
    Reads reads = Reads::Answer;
    qint64 writeBudget = -1; // bytes accepted before writes come back short
    unsigned char latency = 16;

    // TDO bits the target answers with, in clock order, before loopback resumes.
    QList<bool> tdo;
    void queueTdo(quint32 value, int bits)
    {
        for (int i = 0; i < bits; ++i)
            tdo << bool((value >> i) & 1);
    }

    QByteArray written() const
    {
        QByteArray all;
        for (const QByteArray &w : writes)
            all += w;
        return all;
    }

    // Installs this bridge as the process's transport factory.
    void install();

    // Called by the transport.
    int write(const unsigned char *data, int size);
    int read(unsigned char *data, int size);
    int call(const QString &what);

private:
    void interpret(unsigned char byte);
    bool clockTdo(bool tdi) { return tdo.isEmpty() ? tdi : tdo.takeFirst(); }
    QByteArray m_command;
    QByteArray m_pendingReply;
    unsigned char m_readRegister = 0;
};
