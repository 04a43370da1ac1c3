#include "link/ResponseReader.h"

#include "app/StatsClient.h"
#include "link/Codec.h"

#include <QtDebug>

ResponseReader::ResponseReader() : m_proxyFrame(std::make_unique<ProxyFrame>())
{
    // Relay frames are collected here; reserving the largest possible frame once
    // keeps the 60 fps relay path free of reallocations.
    m_buffer.reserve(Protocol::MaxProxyFrameSize);
}

ResponseReader::~ResponseReader() = default;

void ResponseReader::reset()
{
    m_phase = ExpectLength;
    m_expectedLength = -1;
    m_relayLength = 0;
    m_buffer.resize(0);
    ++m_generation;
}

void ResponseReader::feed(const QByteArray &chunk)
{
    const unsigned generation = m_generation;
    int pos = 0;
    // Completion phases run even when the chunk is used up, so a zero-length
    // relay frame does not wait for the next chunk.
    while (pos < chunk.size() || m_phase == ResponseComplete || m_phase == RelayComplete) {
        // A callback that reset the reader (the owner closed the socket) ends this chunk.
        if (m_generation != generation)
            return;
        switch (m_phase) {
        case ExpectLength: {
            const int length = quint8(chunk.at(pos));
            if (length > Protocol::MaxMessageSize) {
                qInfo().noquote() << QStringLiteral(
                                         "Bad data from socket, msg_resp_buffer_write(%1) > Request_size (%2)")
                                         .arg(length)
                                         .arg(Protocol::MaxMessageSize);
                reset();
                if (onCloseRequested)
                    onCloseRequested();
                return;
            }
            ++pos;
            m_buffer.resize(0);
            m_expectedLength = length;
            m_phase = length == 0 ? ResponseComplete : CollectResponse;
            break;
        }
        case CollectResponse: {
            const int take = qMin(m_expectedLength - m_buffer.size(), chunk.size() - pos);
            m_buffer.append(chunk.constData() + pos, take);
            pos += take;
            if (m_buffer.size() == m_expectedLength)
                m_phase = ResponseComplete;
            break;
        }
        case ResponseComplete:
            m_expectedLength = -1;
            m_phase = ExpectLength;
            handleResponse();
            break;
        case CollectRelay: {
            const int take = qMin(m_relayLength - m_buffer.size(), chunk.size() - pos);
            m_buffer.append(chunk.constData() + pos, take);
            pos += take;
            if (m_buffer.size() == m_relayLength)
                m_phase = RelayComplete;
            break;
        }
        case RelayComplete:
            m_phase = ExpectLength;
            handleRelayFrame();
            break;
        }
    }
}

void ResponseReader::handleResponse()
{
    Response response = Response_init_zero;
    QString error;
    const bool ok = decodeResponse(m_buffer, &response, &error);
    m_buffer.resize(0);
    if (!ok) {
        qInfo().noquote() << QStringLiteral("Error occurred during decode: %1.").arg(error);
        return;
    }
    if (response.which_payload == Response_relayFrameLength_tag) {
        const uint32_t length = response.payload.relayFrameLength;
        // A ProxyFrame never encodes to more than this; a larger announcement
        // would make us buffer gigabytes on a peer's word, so the stream is
        // treated as corrupt, like an oversized length byte.
        if (length > uint32_t(Protocol::MaxProxyFrameSize)) {
            qInfo().noquote() << QStringLiteral("Bad data from socket, relayFrameLength (%1) > ProxyFrame_size (%2)")
                                     .arg(length)
                                     .arg(Protocol::MaxProxyFrameSize);
            reset();
            if (onCloseRequested)
                onCloseRequested();
            return;
        }
        m_relayLength = int(length);
        m_phase = length == 0 ? RelayComplete : CollectRelay;
    }
    if (onResponse)
        onResponse(response);
}

void ResponseReader::handleRelayFrame()
{
    StatsClient::bytesReceived(uint32_t(m_buffer.size()));
    ProxyFrame &frame = *m_proxyFrame;
    QString error;
    const bool ok = decodeProxyFrame(m_buffer, &frame, &error);
    m_buffer.resize(0);
    if (!ok) {
        qInfo().noquote() << QStringLiteral("Error occurred during proxy decode: %1.").arg(error);
        return;
    }
    if (frame.which_payload != ProxyFrame_frame_tag)
        return;
    if (onProxyFrame)
        onProxyFrame(frame);
}
