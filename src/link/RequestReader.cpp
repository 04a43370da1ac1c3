#include "link/RequestReader.h"

#include "link/Codec.h"

#include <QtDebug>

void RequestReader::feed(const QByteArray &chunk)
{
    int pos = 0;
    while (pos < chunk.size()) {
        if (m_expected < 0) {
            const int length = quint8(chunk.at(pos++));
            if (length > Protocol::MaxMessageSize) {
                qInfo().noquote() << QStringLiteral("Bad data from socket, request length (%1) > Request_size (%2)")
                                         .arg(length)
                                         .arg(Protocol::MaxMessageSize);
                reset();
                if (onCloseRequested)
                    onCloseRequested();
                return;
            }
            m_expected = length;
            m_buffer.clear();
        }
        const int take = qMin(m_expected - m_buffer.size(), chunk.size() - pos);
        m_buffer.append(chunk.constData() + pos, take);
        pos += take;
        if (m_buffer.size() < m_expected)
            return;

        m_expected = -1;
        Request request = Request_init_zero;
        QString error;
        if (decodeRequest(m_buffer, &request, &error)) {
            if (onRequest)
                onRequest(request);
        } else {
            qInfo().noquote() << QStringLiteral("Error occurred during request decode: %1.").arg(error);
        }
        m_buffer.clear();
    }
}

void RequestReader::reset()
{
    m_expected = -1;
    m_buffer.clear();
}
