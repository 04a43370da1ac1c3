#pragma once

#include "protocol/Messages.h"

#include <QByteArray>

#include <functional>
#include <memory>

// Client side parser of the decrypted stream from the unit or a relay. Fed with
// whatever chunks the socket delivers; emits each complete Response and, after a
// relayFrameLength announcement, the ProxyFrame that follows it raw.
class ResponseReader
{
public:
    // Preallocates the ProxyFrame decode target (65 kB) and the collection
    // buffer, so relayed frames allocate nothing.
    ResponseReader();
    ~ResponseReader();
    ResponseReader(const ResponseReader &) = delete;
    ResponseReader &operator=(const ResponseReader &) = delete;

    // Every decoded Response, in order. For relayFrameLength the reader has
    // already switched itself to collecting that many bytes when this runs.
    std::function<void(const Response &)> onResponse;
    // Every decoded ProxyFrame; the reference is valid during the call only.
    std::function<void(const ProxyFrame &)> onProxyFrame;
    // A length byte above 44 was seen: the stream cannot be trusted any more and
    // the owner must close the socket. The rest of that chunk has been dropped.
    std::function<void()> onCloseRequested;

    void feed(const QByteArray &chunk);
    // Back to expecting a length byte (a new connection).
    void reset();

private:
    enum Phase { ExpectLength = 0, CollectResponse = 1, ResponseComplete = 2, CollectRelay = 3, RelayComplete = 4 };

    void handleResponse();
    void handleRelayFrame();

    Phase m_phase = ExpectLength;
    int m_expectedLength = -1;
    int m_relayLength = 0;
    QByteArray m_buffer;
    unsigned m_generation = 0; // bumped by reset(), so a callback that resets ends the current chunk
    std::unique_ptr<ProxyFrame> m_proxyFrame;
};
