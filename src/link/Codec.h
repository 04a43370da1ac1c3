#pragma once

// Framing of the control channel: one length byte, then one encoded message.
// Pure functions over bytes so that the client, the relay and the simulated
// unit share exactly one implementation and tests need no sockets.
#include "protocol/Messages.h"

#include <QByteArray>
#include <QString>

// Length byte + encoded Request; empty (with the warning "Write size too big!")
// when it cannot be framed.
QByteArray encodeRequest(const Request &r);
// Length byte + encoded Response, as the unit or a relay sends it; empty when the
// encoding exceeds the 44 bytes a client accepts.
QByteArray encodeResponse(const Response &r);
// Relay side: length byte + Response{counter 0, relayFrameLength L} + the L bytes
// of the encoded ProxyFrame. Empty if the frame cannot be encoded.
QByteArray encodeProxyFrameBlock(const ProxyFrame &f);

// Decoders take the message bytes without their length byte. On failure they
// return false and put the decoder's error text (or "(none)") into error.
bool decodeRequest(const QByteArray &body, Request *out, QString *error = nullptr);
bool decodeResponse(const QByteArray &body, Response *out, QString *error = nullptr);
bool decodeProxyFrame(const QByteArray &body, ProxyFrame *out, QString *error = nullptr);
