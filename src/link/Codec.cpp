#include "link/Codec.h"

#include <QtDebug>

#include <pb_decode.h>
#include <pb_encode.h>

#include <vector>

namespace {

// Encodes msg behind a one-byte length into a buffer of 1 + capacity bytes.
// Returns an empty array if the message does not fit the capacity.
QByteArray encodeFramed(const pb_msgdesc_t *fields, const void *msg, int capacity)
{
    QByteArray buffer(1 + capacity, Qt::Uninitialized);
    auto *bytes = reinterpret_cast<pb_byte_t *>(buffer.data());
    pb_ostream_t stream = pb_ostream_from_buffer(bytes + 1, size_t(capacity));
    if (!pb_encode(&stream, fields, msg) || stream.bytes_written > 255)
        return {};
    bytes[0] = pb_byte_t(stream.bytes_written);
    buffer.truncate(int(stream.bytes_written) + 1);
    return buffer;
}

bool decodeBody(const QByteArray &body, const pb_msgdesc_t *fields, void *out, QString *error)
{
    pb_istream_t stream =
        pb_istream_from_buffer(reinterpret_cast<const pb_byte_t *>(body.constData()), size_t(body.size()));
    if (pb_decode(&stream, fields, out))
        return true;
    if (error) {
        const char *text = PB_GET_ERROR(&stream);
        *error = text ? QString::fromLatin1(text) : QStringLiteral("(none)");
    }
    return false;
}

} // namespace

QByteArray encodeRequest(const Request &r)
{
    QByteArray framed = encodeFramed(Request_fields, &r, Protocol::MaxMessageSize);
    if (framed.isEmpty())
        qWarning().noquote() << "Write size too big!";
    return framed;
}

QByteArray encodeResponse(const Response &r)
{
    return encodeFramed(Response_fields, &r, Protocol::MaxMessageSize);
}

QByteArray encodeProxyFrameBlock(const ProxyFrame &f)
{
    // The relay encodes every frame of every client through here; one scratch
    // buffer per thread keeps that from allocating 64 kB per frame.
    thread_local std::vector<pb_byte_t> scratch(Protocol::MaxProxyFrameSize);
    pb_ostream_t stream = pb_ostream_from_buffer(scratch.data(), scratch.size());
    if (!pb_encode(&stream, ProxyFrame_fields, &f))
        return {};

    Response header = Response_init_zero;
    header.counter = 0;
    header.which_payload = Response_relayFrameLength_tag;
    header.payload.relayFrameLength = uint32_t(stream.bytes_written);
    QByteArray block = encodeResponse(header);
    if (block.isEmpty())
        return {};
    block.append(reinterpret_cast<const char *>(scratch.data()), int(stream.bytes_written));
    return block;
}

bool decodeRequest(const QByteArray &body, Request *out, QString *error)
{
    return decodeBody(body, Request_fields, out, error);
}

bool decodeResponse(const QByteArray &body, Response *out, QString *error)
{
    return decodeBody(body, Response_fields, out, error);
}

bool decodeProxyFrame(const QByteArray &body, ProxyFrame *out, QString *error)
{
    return decodeBody(body, ProxyFrame_fields, out, error);
}
