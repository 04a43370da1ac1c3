// The incremental readers of the control stream, fed the way a socket delivers
// bytes: whole, merged and split at every awkward place.
#include "app/StatsClient.h"
#include "link/Codec.h"
#include "link/RequestReader.h"
#include "link/ResponseReader.h"
#include "support/LogCapture.h"

#include <QtTest>

#include <limits>

using Chunks = QList<QByteArray>;
Q_DECLARE_METATYPE(Chunks)

namespace {

QByteArray ack(uint32_t counter)
{
    Response r = Response_init_zero;
    r.counter = counter;
    r.which_payload = Response_ack_tag;
    return encodeResponse(r);
}

QByteArray registerValue(uint32_t counter, uint32_t addr, uint32_t data)
{
    Response r = Response_init_zero;
    r.counter = counter;
    r.which_payload = Response_registerValue_tag;
    r.payload.registerValue.addr = addr;
    r.payload.registerValue.has_data = true;
    r.payload.registerValue.data = data;
    return encodeResponse(r);
}

QByteArray lrxd(uint32_t counter, const QByteArray &bytes)
{
    Response r = Response_init_zero;
    r.counter = counter;
    r.which_payload = Response_lrxd_tag;
    r.payload.lrxd.size = pb_size_t(bytes.size());
    memcpy(r.payload.lrxd.bytes, bytes.constData(), size_t(bytes.size()));
    return encodeResponse(r);
}

QByteArray announce(uint32_t length)
{
    Response r = Response_init_zero;
    r.which_payload = Response_relayFrameLength_tag;
    r.payload.relayFrameLength = length;
    return encodeResponse(r);
}

// A relay block whose ProxyFrame encodes to exactly frameLength bytes.
QByteArray relayBlock(int frameLength, int64_t stamp)
{
    static ProxyFrame f;
    for (int dataSize = frameLength - 8; dataSize > 0; --dataSize) {
        f = ProxyFrame_init_zero;
        f.which_payload = ProxyFrame_frame_tag;
        f.payload.frame.stamp = stamp;
        f.payload.frame.data.size = pb_size_t(dataSize);
        for (int i = 0; i < dataSize; ++i)
            f.payload.frame.data.bytes[i] = pb_byte_t(i * 31);
        const QByteArray block = encodeProxyFrameBlock(f);
        const int header = 1 + quint8(block.at(0));
        if (block.size() - header == frameLength)
            return block;
    }
    return {};
}

// The largest frame record there is: full data, the widest stamp, reset set.
QByteArray largestRelayBlock()
{
    static ProxyFrame f;
    f = ProxyFrame_init_zero;
    f.which_payload = ProxyFrame_frame_tag;
    f.payload.frame.stamp = std::numeric_limits<int64_t>::min();
    f.payload.frame.has_reset = true;
    f.payload.frame.reset = true;
    f.payload.frame.data.size = 65500;
    memset(f.payload.frame.data.bytes, 0xFF, 65500);
    return encodeProxyFrameBlock(f);
}

Chunks segments(const QByteArray &bytes, int size)
{
    Chunks out;
    for (int i = 0; i < bytes.size(); i += size)
        out << bytes.mid(i, size);
    return out;
}

QString describe(const Response &r)
{
    switch (r.which_payload) {
    case Response_ack_tag: return QStringLiteral("ack %1").arg(r.counter);
    case Response_registerValue_tag:
        return QStringLiteral("reg %1 %2=%3")
            .arg(r.counter)
            .arg(r.payload.registerValue.addr, 8, 16, QLatin1Char('0'))
            .arg(r.payload.registerValue.data);
    case Response_lrxd_tag:
        return QStringLiteral("lrxd %1 ").arg(r.counter) +
               QString::fromLatin1(
                   QByteArray(reinterpret_cast<const char *>(r.payload.lrxd.bytes), r.payload.lrxd.size));
    case Response_relayFrameLength_tag: return QStringLiteral("relay %1").arg(r.payload.relayFrameLength);
    default: return QStringLiteral("other %1").arg(r.which_payload);
    }
}

} // namespace

class tst_ResponseReader : public QObject
{
    Q_OBJECT
private slots:
    void responses_data();
    void responses();
    void relayBytesCountAsReceived();
    void ownerClosingInCallbackStopsTheChunk();
    void requests_data();
    void requests();
};

void tst_ResponseReader::responses_data()
{
    QTest::addColumn<Chunks>("chunks"); // a null chunk stands for reset() (new connection)
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("logLines");

    QTest::newRow("two responses in one chunk") << Chunks{ack(7) + registerValue(8, 0xF0000004, 42)}
                                                << QStringList{"ack 7", "reg 8 f0000004=42"} << QStringList{};
    const QByteArray reg = registerValue(9, 0xF0000808, 1);
    QTest::newRow("one response over three chunks")
        << Chunks{reg.left(1), reg.mid(1, 5), reg.mid(6)} << QStringList{"reg 9 f0000808=1"} << QStringList{};
    QTest::newRow("length byte ending a chunk")
        << Chunks{ack(1) + ack(2).left(1), ack(2).mid(1)} << QStringList{"ack 1", "ack 2"} << QStringList{};
    QTest::newRow("every byte alone") << segments(lrxd(3, "FE E0 FD") + ack(4), 1)
                                      << QStringList{"lrxd 3 FE E0 FD", "ack 4"} << QStringList{};
    QTest::newRow("length byte 45 closes, rest of chunk dropped")
        << Chunks{ack(1) + QByteArray(1, char(45)) + ack(2)} << QStringList{"ack 1", "close"}
        << QStringList{"Bad data from socket, msg_resp_buffer_write(45) > Request_size (44)"};
    QTest::newRow("length byte 200 closes")
        << Chunks{QByteArray(1, char(200)) + QByteArray(200, 'x')} << QStringList{"close"}
        << QStringList{"Bad data from socket, msg_resp_buffer_write(200) > Request_size (44)"};
    QTest::newRow("length byte 44 is accepted")
        << Chunks{lrxd(5, QByteArray(40, 'z'))} << QStringList{"lrxd 5 " + QString(40, 'z')} << QStringList{};
    QTest::newRow("undecodable response skipped")
        << Chunks{QByteArray::fromHex("03AABBCC") + ack(6)} << QStringList{"ack 6"}
        << QStringList{"Error occurred during decode: "};
    QTest::newRow("zero length byte is an empty response that fails")
        << Chunks{QByteArray(1, '\0') + ack(6)} << QStringList{"ack 6"}
        << QStringList{"Error occurred during decode: missing required field."};

    Chunks relay = segments(relayBlock(30000, 987654321) + ack(10), 1400);
    QTest::newRow("30000-byte relay frame in 1400-byte segments, then a response")
        << relay << QStringList{"relay 30000", "proxy 987654321 29984", "ack 10"} << QStringList{};
    QTest::newRow("relay frame and next response in one chunk")
        << Chunks{relayBlock(300, 5) + ack(11)} << QStringList{"relay 300", "proxy 5 290", "ack 11"} << QStringList{};
    QTest::newRow("undecodable relay frame skipped")
        << Chunks{announce(4) + QByteArray::fromHex("FFFFFFFF") + ack(12)} << QStringList{"relay 4", "ack 12"}
        << QStringList{"Error occurred during proxy decode: "};
    QTest::newRow("empty relay frame skipped") << Chunks{announce(0), ack(13)} << QStringList{"relay 0", "ack 13"}
                                               << QStringList{"Error occurred during proxy decode: "};
    QTest::newRow("relay frame that is not a frame is ignored")
        << Chunks{announce(4) + QByteArray::fromHex("08001A00") + ack(14)} << QStringList{"relay 4", "ack 14"}
        << QStringList{};
    // Bytes that look like a length byte inside a relay frame are frame bytes.
    QTest::newRow("relay frame full of 0xFF bytes")
        << Chunks{announce(6), QByteArray::fromHex("0800"), QByteArray::fromHex("1A"), QByteArray::fromHex("00FFFF"),
                  ack(15)}
        << QStringList{"relay 6", "ack 15"} << QStringList{"Error occurred during proxy decode: "};
    QTest::newRow("announcement beyond any frame closes")
        << Chunks{announce(0xFFFFFFFFu) + QByteArray(100, 'x')} << QStringList{"close"}
        << QStringList{"Bad data from socket, relayFrameLength (4294967295) > ProxyFrame_size (65529)"};
    const QByteArray largest = largestRelayBlock();
    QTest::newRow("largest frame record is collected")
        << segments(largest, 1400)
        << QStringList{QStringLiteral("relay %1").arg(largest.size() - 1 - quint8(largest.at(0))),
                       "proxy -9223372036854775808 65500"}
        << QStringList{};
    QTest::newRow("reset drops a half-read response")
        << Chunks{ack(16).left(3), QByteArray(), ack(17)} << QStringList{"ack 17"} << QStringList{};
    QTest::newRow("reset drops a half-read relay frame") << Chunks{relayBlock(500, 2).left(200), QByteArray(), ack(18)}
                                                         << QStringList{"relay 500", "ack 18"} << QStringList{};
}

void tst_ResponseReader::responses()
{
    QFETCH(Chunks, chunks);
    QFETCH(QStringList, events);
    QFETCH(QStringList, logLines);

    LogCapture log;
    ResponseReader reader;
    QStringList seen;
    reader.onResponse = [&](const Response &r) { seen << describe(r); };
    reader.onProxyFrame = [&](const ProxyFrame &f) {
        seen << QStringLiteral("proxy %1 %2").arg(f.payload.frame.stamp).arg(f.payload.frame.data.size);
    };
    reader.onCloseRequested = [&] { seen << QStringLiteral("close"); };
    for (const QByteArray &chunk : chunks) {
        if (chunk.isNull())
            reader.reset();
        else
            reader.feed(chunk);
    }
    QCOMPARE(seen, events);
    for (const QString &line : logLines)
        QVERIFY2(log.count(line) == 1, qPrintable(line + " in " + log.lines().join('\n')));
    if (logLines.isEmpty()) {
        QCOMPARE(log.count(QStringLiteral("Error occurred")), 0);
        QCOMPARE(log.count(QStringLiteral("Bad data")), 0);
    }
}

void tst_ResponseReader::relayBytesCountAsReceived()
{
    StatsClient *stats = StatsClient::instance();
    double peak = 0;
    double last = -1;
    connect(stats, &StatsClient::newStats, this, [&](double in, double, double) {
        peak = qMax(peak, in);
        last = in;
    });
    // Bytes counted by earlier tests leave the one-second window first.
    QVERIFY(QTest::qWaitFor([&] { return last == 0; }, 3000));
    peak = 0;

    ResponseReader reader;
    int frames = 0;
    reader.onProxyFrame = [&](const ProxyFrame &) { ++frames; };
    for (const QByteArray &s : segments(relayBlock(30000, 1), 1400))
        reader.feed(s);
    QCOMPARE(frames, 1);
    // Only the relay frame's bytes count, not the announcement.
    QTRY_COMPARE_WITH_TIMEOUT(peak, 30000.0, 1000);
}

void tst_ResponseReader::ownerClosingInCallbackStopsTheChunk()
{
    // The owner may drop the connection from inside a callback (a bad value, a
    // protocol error of its own); what is left of that chunk belongs to the old
    // connection and must not be delivered.
    ResponseReader reader;
    QStringList seen;
    reader.onResponse = [&](const Response &r) {
        seen << describe(r);
        if (r.counter == 2)
            reader.reset();
    };
    reader.feed(ack(1) + ack(2) + ack(3));
    reader.feed(ack(4));
    QCOMPARE(seen, (QStringList{"ack 1", "ack 2", "ack 4"}));
}

void tst_ResponseReader::requests_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<QStringList>("events");

    const QByteArray framedRead = QByteArray::fromHex("0C08051001220608848080800F");
    const QByteArray framedWrite = QByteArray::fromHex("0E080710011A080884B080800F1001");
    const QByteArray framedInject = QByteArray::fromHex("0A080910003204FE1E80FD");
    QTest::newRow("three requests in one chunk")
        << Chunks{framedRead + framedWrite + framedInject}
        << QStringList{"read 5 f0000004", "write 7 ack f0001804=1", "inject 9 fe1e80fd"};
    QTest::newRow("split byte by byte") << segments(framedWrite + framedRead, 1)
                                        << QStringList{"write 7 ack f0001804=1", "read 5 f0000004"};
    QTest::newRow("length 45 closes") << Chunks{framedRead + QByteArray(1, char(45)) + framedWrite}
                                      << QStringList{"read 5 f0000004", "close"};
    QTest::newRow("undecodable request skipped")
        << Chunks{QByteArray::fromHex("020805") + framedInject} << QStringList{"inject 9 fe1e80fd"};
}

void tst_ResponseReader::requests()
{
    QFETCH(Chunks, chunks);
    QFETCH(QStringList, events);
    RequestReader reader;
    QStringList seen;
    reader.onRequest = [&](const Request &r) {
        switch (r.which_payload) {
        case Request_read_tag:
            seen << QStringLiteral("read %1 %2").arg(r.counter).arg(r.payload.read.addr, 8, 16, QLatin1Char('0'));
            break;
        case Request_write_tag:
            seen << QStringLiteral("write %1 %2 %3=%4")
                        .arg(r.counter)
                        .arg(r.ackRequired ? "ack" : "noack")
                        .arg(r.payload.write.addr, 8, 16, QLatin1Char('0'))
                        .arg(r.payload.write.data);
            break;
        case Request_inject_tag:
            seen << QStringLiteral("inject %1 ").arg(r.counter) +
                        QByteArray(reinterpret_cast<const char *>(r.payload.inject.bytes), r.payload.inject.size)
                            .toHex();
            break;
        default: seen << QStringLiteral("other");
        }
    };
    reader.onCloseRequested = [&] { seen << QStringLiteral("close"); };
    for (const QByteArray &chunk : chunks)
        reader.feed(chunk);
    QCOMPARE(seen, events);
}

QTEST_GUILESS_MAIN(tst_ResponseReader)
#include "tst_ResponseReader.moc"
