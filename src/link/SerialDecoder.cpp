#include "link/SerialDecoder.h"

#include <QDebug>

SerialDecoder::SerialDecoder(const QString &lineName, QObject *parent) : QObject(parent), m_lineName(lineName)
{
    m_payload.reserve(MaxPayload);
}

void SerialDecoder::newData(QByteArray chunk)
{
    for (const char c : qAsConst(chunk)) {
        const quint8 b = quint8(c);
        if (m_idle) {
            if (b == StartByte)
                m_idle = false;
            continue;
        }
        if (b != EndByte) {
            if (m_payload.size() >= MaxPayload) {
                qWarning().noquote() << QStringLiteral("%1 payload longer than %2 bytes without end byte, dropped")
                                            .arg(m_lineName)
                                            .arg(MaxPayload);
                // Back to hunting for a start byte: the rest of this runaway message is discarded as noise.
                m_payload.clear();
                m_idle = true;
                continue;
            }
            m_payload.append(c);
            continue;
        }
        if (m_payload.isEmpty())
            qWarning().noquote() << "Empty payload?";
        else
            handlePayload(m_payload);
        m_payload.clear();
        m_idle = true;
    }
}
