// Feeds arbitrary bytes, cut into chunks at positions taken from the input, to
// both serial-line decoders: radio traffic is untrusted and arrives split anywhere.
#include "link/LrxdDecoder.h"
#include "link/LtxdDecoder.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool once = (qInstallMessageHandler(quiet), true);
    (void)once;
    if (size == 0)
        return 0;
    // First byte: chunk length (1..256); the rest is the line's traffic.
    const size_t chunk = size_t(data[0]) + 1;
    const QByteArray traffic(reinterpret_cast<const char *>(data + 1), int(size - 1));
    LrxdDecoder lrxd;
    LtxdDecoder ltxd;
    for (int pos = 0; pos < traffic.size(); pos += int(chunk)) {
        const QByteArray piece = traffic.mid(pos, int(chunk));
        lrxd.newData(piece);
        ltxd.newData(piece);
    }
    return 0;
}
