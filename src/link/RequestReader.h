#pragma once

#include "protocol/Messages.h"

#include <QByteArray>

#include <functional>

// Unit side parser (simulated unit, relay): length byte + Request, with the same
// 44-byte rejection rule the client applies to responses.
class RequestReader
{
public:
    // Every decoded Request, in order. Undecodable requests are logged and skipped.
    std::function<void(const Request &)> onRequest;
    // A length byte above 44 was seen: the owner must close the socket.
    std::function<void()> onCloseRequested;

    void feed(const QByteArray &chunk);
    void reset();

private:
    int m_expected = -1; // -1: waiting for a length byte
    QByteArray m_buffer;
};
