// Bytes from a unit or relay (possibly hostile) through the client's stream
// reader, delivered in chunk sizes the input chooses, as a socket would.
//
// Input layout: byte 0 = n (low 3 bits); bytes 1..n = chunk sizes, used in
// turn (0 means "reset the reader here", as on a new connection); the rest is
// the stream. The same stream also goes through the unit side's request reader.
#include "FuzzSupport.h"
#include "link/RequestReader.h"
#include "link/ResponseReader.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    (void)fuzz::kQuiet;
    if (size == 0)
        return 0;
    const size_t sizesCount = data[0] & 7;
    if (size < 1 + sizesCount)
        return 0;
    const uint8_t *sizes = data + 1;
    const char *stream = reinterpret_cast<const char *>(data + 1 + sizesCount);
    const size_t streamSize = size - 1 - sizesCount;

    static ResponseReader responses;
    static RequestReader requests;
    responses.reset();
    requests.reset();
    responses.onResponse = [](const Response &r) {
        switch (r.which_payload) {
        case Response_ltxd_tag: check(r.payload.ltxd.size <= sizeof(r.payload.ltxd.bytes)); break;
        case Response_lrxd_tag: check(r.payload.lrxd.size <= sizeof(r.payload.lrxd.bytes)); break;
        case Response_reserved6_tag: check(r.payload.reserved6.size <= sizeof(r.payload.reserved6.bytes)); break;
        default: break;
        }
    };
    responses.onProxyFrame = [](const ProxyFrame &f) {
        check(f.which_payload == ProxyFrame_frame_tag);
        check(f.payload.frame.data.size <= sizeof(f.payload.frame.data.bytes));
        // Touch every byte the frame claims, so a bad size shows up under ASan.
        volatile uint8_t sum = 0;
        for (pb_size_t i = 0; i < f.payload.frame.data.size; ++i)
            sum = uint8_t(sum + f.payload.frame.data.bytes[i]);
    };
    // The owner would drop the connection; feeding on must stay sound anyway.
    responses.onCloseRequested = [] {};
    requests.onRequest = [](const Request &r) {
        if (r.which_payload == Request_inject_tag)
            check(r.payload.inject.size <= sizeof(r.payload.inject.bytes));
    };
    requests.onCloseRequested = [] {};

    bool anyChunk = false;
    for (size_t i = 0; i < sizesCount; ++i)
        anyChunk = anyChunk || sizes[i] != 0;

    size_t pos = 0;
    size_t turn = 0;
    while (pos < streamSize) {
        size_t chunk = anyChunk ? sizes[turn++ % sizesCount] : streamSize;
        if (chunk == 0) {
            responses.reset();
            requests.reset();
            continue;
        }
        chunk = qMin(chunk, streamSize - pos);
        const QByteArray bytes = QByteArray::fromRawData(stream + pos, int(chunk));
        responses.feed(bytes);
        requests.feed(bytes);
        pos += chunk;
    }
    return 0;
}
