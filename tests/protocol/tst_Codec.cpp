// Wire format of the control channel: the framed bytes we produce must be the
// bytes the unit expects, and an independent encoder (protoc) must agree.
#include "link/Codec.h"
#include "link/PylonController.h"
#include "support/LogCapture.h"

#include <QProcess>
#include <QtTest>

#include <pb_decode.h>
#include <pb_encode.h>

#include <functional>

using Encoder = std::function<QByteArray()>;
Q_DECLARE_METATYPE(Encoder)

namespace {

Request request(uint32_t counter, bool ack)
{
    Request r = Request_init_zero;
    r.counter = counter;
    r.ackRequired = ack;
    return r;
}

Request readRequest(uint32_t counter, uint32_t addr)
{
    Request r = request(counter, true);
    r.which_payload = Request_read_tag;
    r.payload.read.addr = addr;
    return r;
}

Request writeRequest(uint32_t counter, bool ack, uint32_t addr, uint32_t data)
{
    Request r = request(counter, ack);
    r.which_payload = Request_write_tag;
    r.payload.write.addr = addr;
    r.payload.write.has_data = true;
    r.payload.write.data = data;
    return r;
}

Request injectRequest(uint32_t counter, bool ack, const QByteArray &bytes)
{
    Request r = request(counter, ack);
    r.which_payload = Request_inject_tag;
    r.payload.inject.size = pb_size_t(bytes.size());
    memcpy(r.payload.inject.bytes, bytes.constData(), size_t(bytes.size()));
    return r;
}

Response serialResponse(uint32_t counter, pb_size_t tag, const QByteArray &bytes)
{
    Response r = Response_init_zero;
    r.counter = counter;
    r.which_payload = tag;
    // Both serial payloads share one layout; write through the one selected.
    pb_size_t &size = tag == Response_ltxd_tag ? r.payload.ltxd.size : r.payload.lrxd.size;
    pb_byte_t *data = tag == Response_ltxd_tag ? r.payload.ltxd.bytes : r.payload.lrxd.bytes;
    size = pb_size_t(bytes.size());
    memcpy(data, bytes.constData(), size_t(bytes.size()));
    return r;
}

// protoc's text format escapes for arbitrary bytes.
QString textBytes(const QByteArray &bytes)
{
    QString s;
    for (char c : bytes)
        s += QStringLiteral("\\%1").arg(quint8(c), 3, 8, QLatin1Char('0'));
    return s;
}

QByteArray protocEncode(const QString &type, const QString &text, const QString &protoFile)
{
    const QString dir = qEnvironmentVariable("VQ6020_SOURCE_DIR") + QStringLiteral("/src/protocol");
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("protoc"), {QStringLiteral("--encode=") + type, QStringLiteral("-I") + dir, protoFile});
    if (!p.waitForStarted(5000))
        return "protoc did not start";
    p.write(text.toUtf8());
    p.closeWriteChannel();
    p.waitForFinished(10000);
    if (p.exitCode() != 0)
        return "protoc failed: " + p.readAllStandardError();
    return p.readAllStandardOutput();
}

} // namespace

class tst_Codec : public QObject
{
    Q_OBJECT
private slots:
    void framedMessages_data();
    void framedMessages();
    void unframeable_data();
    void unframeable();
    void proxyFrameBlock();
    void decodeFailures_data();
    void decodeFailures();
    void configurationRecord_data();
    void configurationRecord();
    void configurationLimits_data();
    void configurationLimits();
};

void tst_Codec::framedMessages_data()
{
    QTest::addColumn<Encoder>("encode");
    QTest::addColumn<QByteArray>("expected"); // framed, hex
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");

    QTest::newRow("read ctrl_scratch, counter 5")
        << Encoder([] { return encodeRequest(readRequest(5, PylonController::ctrl_scratch)); })
        << QByteArray("0C 08 05 10 01 22 06 08 84 80 80 80 0F") << "Request"
        << "counter: 5 ackRequired: true read { addr: 4026531844 }";
    QTest::newRow("write divisor 1, counter 7, ack")
        << Encoder(
               [] { return encodeRequest(writeRequest(7, true, PylonController::dc_capture_frame_divisor_csr, 1)); })
        << QByteArray("0E 08 07 10 01 1A 08 08 84 B0 80 80 0F 10 01") << "Request"
        << "counter: 7 ackRequired: true write { addr: 4026537988 data: 1 }";
    QTest::newRow("inject FE 1E 80 FD, counter 9, no ack")
        << Encoder([] { return encodeRequest(injectRequest(9, false, QByteArray::fromHex("FE1E80FD"))); })
        << QByteArray("0A 08 09 10 00 32 04 FE 1E 80 FD") << "Request"
        << "counter: 9 ackRequired: false inject: \"\\376\\036\\200\\375\"";
    QTest::newRow("ack of counter 7") << Encoder([] {
        Response r = Response_init_zero;
        r.counter = 7;
        r.which_payload = Response_ack_tag;
        return encodeResponse(r);
    }) << QByteArray("04 08 07 12 00") << "Response"
                                      << "counter: 7 ack {}";

    // The largest request the client can produce still fits the 44-byte frame.
    const QByteArray inject32 = QByteArray::fromHex("FE1A0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1DFD");
    QTest::newRow("largest request: 32 inject bytes, counter max, ack")
        << Encoder([inject32] { return encodeRequest(injectRequest(4294967295u, true, inject32)); })
        << QByteArray("2A 08 FF FF FF FF 0F 10 01 32 20 " + inject32.toHex(' ')) << "Request"
        << "counter: 4294967295 ackRequired: true inject: \"" + textBytes(inject32) + "\"";
    QTest::newRow("write of 550000000 to capture control, counter 0")
        << Encoder(
               [] { return encodeRequest(writeRequest(0, true, PylonController::dc_capture_control_csr, 550000000)); })
        << QByteArray("12 08 00 10 01 1A 0C 08 80 B0 80 80 0F 10 80 AB A1 86 02") << "Request"
        << "counter: 0 ackRequired: true write { addr: 4026537984 data: 550000000 }";
    QTest::newRow("registerValue of da_flash_crc") << Encoder([] {
        Response r = Response_init_zero;
        r.counter = 12;
        r.which_payload = Response_registerValue_tag;
        r.payload.registerValue.addr = PylonController::da_flash_crc;
        r.payload.registerValue.has_data = true;
        r.payload.registerValue.data = 0xDEADBEEF;
        return encodeResponse(r);
    }) << QByteArray("10 08 0C 1A 0C 08 94 90 80 80 0F 10 EF FD B6 F5 0D")
                                                   << "Response"
                                                   << "counter: 12 registerValue { addr: 4026533908 data: 3735928559 }";
    // 2 + 2 + 40 = 44: the longest serial chunk a response can carry with a one-byte counter.
    const QByteArray chunk40 = QByteArray(40, '\x5a');
    QTest::newRow("ltxd chunk filling the 44-byte frame")
        << Encoder([chunk40] { return encodeResponse(serialResponse(3, Response_ltxd_tag, chunk40)); })
        << QByteArray("2C 08 03 22 28 " + chunk40.toHex(' ')) << "Response"
        << "counter: 3 ltxd: \"" + textBytes(chunk40) + "\"";
    QTest::newRow("relay frame announcement") << Encoder([] {
        Response r = Response_init_zero;
        r.which_payload = Response_relayFrameLength_tag;
        r.payload.relayFrameLength = 30000;
        return encodeResponse(r);
    }) << QByteArray("06 08 00 38 B0 EA 01") << "Response"
                                              << "counter: 0 relayFrameLength: 30000";
}

void tst_Codec::framedMessages()
{
    QFETCH(Encoder, encode);
    QFETCH(QByteArray, expected);
    QFETCH(QString, type);
    QFETCH(QString, text);

    const QByteArray framed = encode();
    QCOMPARE(framed.toHex(' ').toUpper(), expected.toUpper());
    QCOMPARE(int(quint8(framed.at(0))), framed.size() - 1);
    QVERIFY(framed.size() - 1 <= Protocol::MaxMessageSize);

    // An independent encoder produces the same message bytes from the same .proto.
    QCOMPARE(protocEncode(type, text, QStringLiteral("control.proto")).toHex(' '), framed.mid(1).toHex(' '));

    // And our decoder reads them back into what re-encodes to the same frame.
    QString error;
    if (type == QLatin1String("Request")) {
        Request r = Request_init_zero;
        QVERIFY2(decodeRequest(framed.mid(1), &r, &error), qPrintable(error));
        QCOMPARE(encodeRequest(r), framed);
    } else {
        Response r = Response_init_zero;
        QVERIFY2(decodeResponse(framed.mid(1), &r, &error), qPrintable(error));
        QCOMPARE(encodeResponse(r), framed);
    }
}

void tst_Codec::unframeable_data()
{
    QTest::addColumn<Encoder>("encode");
    QTest::addColumn<QString>("warning");

    // A response over 44 bytes would make the client drop the connection, so
    // the sender refuses to produce it.
    QTest::newRow("ltxd of 41 bytes") << Encoder([] {
        return encodeResponse(serialResponse(3, Response_ltxd_tag, QByteArray(41, 'x')));
    }) << QString();
    QTest::newRow("lrxd of 64 bytes") << Encoder([] {
        return encodeResponse(serialResponse(3, Response_lrxd_tag, QByteArray(64, 'x')));
    }) << QString();
    QTest::newRow("ltxd of 40 bytes with a 5-byte counter")
        << Encoder([] { return encodeResponse(serialResponse(4294967295u, Response_ltxd_tag, QByteArray(40, 'x'))); })
        << QString();
    // A corrupted in-memory request (size beyond its array) must not be framed.
    QTest::newRow("inject size beyond its array") << Encoder([] {
        Request r = injectRequest(1, false, QByteArray(32, 'x'));
        r.payload.inject.size = 33;
        return encodeRequest(r);
    }) << QStringLiteral("Write size too big!");
}

void tst_Codec::unframeable()
{
    QFETCH(Encoder, encode);
    QFETCH(QString, warning);
    LogCapture log;
    QCOMPARE(encode(), QByteArray());
    if (!warning.isEmpty())
        QCOMPARE(log.count(warning), 1);
}

void tst_Codec::proxyFrameBlock()
{
    // A frame of a size typical for a busy screen, with the reset flag set.
    static ProxyFrame frame; // 65 kB: keep it off the stack
    frame = ProxyFrame_init_zero;
    frame.which_payload = ProxyFrame_frame_tag;
    CompressedFrameData &cf = frame.payload.frame;
    cf.stamp = -1234567890123LL;
    cf.has_reset = true;
    cf.reset = true;
    QByteArray data(20000, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 7) ^ (i >> 8));
    cf.data.size = pb_size_t(data.size());
    memcpy(cf.data.bytes, data.constData(), size_t(data.size()));

    const QByteArray block = encodeProxyFrameBlock(frame);
    QVERIFY(!block.isEmpty());

    // Length byte, the announcing Response, then exactly L raw bytes.
    const int headerLength = quint8(block.at(0));
    Response header = Response_init_zero;
    QVERIFY(decodeResponse(block.mid(1, headerLength), &header));
    QCOMPARE(header.counter, 0u);
    QCOMPARE(int(header.which_payload), int(Response_relayFrameLength_tag));
    const QByteArray body = block.mid(1 + headerLength);
    QCOMPARE(int(header.payload.relayFrameLength), body.size());

    const QString text =
        QStringLiteral("reserved1: 0 frame { stamp: -1234567890123 reset: true data: \"%1\" }").arg(textBytes(data));
    QCOMPARE(protocEncode(QStringLiteral("ProxyFrame"), text, QStringLiteral("control.proto")), body);

    static ProxyFrame decoded;
    QString error;
    QVERIFY2(decodeProxyFrame(body, &decoded, &error), qPrintable(error));
    QCOMPARE(decoded.payload.frame.stamp, cf.stamp);
    QVERIFY(decoded.payload.frame.has_reset && decoded.payload.frame.reset);
    QCOMPARE(
        QByteArray(reinterpret_cast<const char *>(decoded.payload.frame.data.bytes), decoded.payload.frame.data.size),
        data);

    // The largest frame record still encodes; the announcement stays one small response.
    cf.data.size = 65500;
    const QByteArray largest = encodeProxyFrameBlock(frame);
    QVERIFY(!largest.isEmpty());
    QVERIFY(largest.size() - 1 - quint8(largest.at(0)) <= Protocol::MaxProxyFrameSize);
}

void tst_Codec::decodeFailures_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("empty response: counter missing") << "Response" << QByteArray();
    QTest::newRow("response truncated in a varint") << "Response" << QByteArray::fromHex("0880");
    QTest::newRow("response with wrong wire type for counter") << "Response" << QByteArray::fromHex("0A0107");
    QTest::newRow("ltxd longer than 64 bytes")
        << "Response" << QByteArray::fromHex("080122") + char(65) + QByteArray(65, 'a');
    QTest::newRow("bytes length beyond the buffer") << "Response" << QByteArray::fromHex("08012205AABB");
    QTest::newRow("registerValue without addr") << "Response" << QByteArray::fromHex("08011A021001");
    QTest::newRow("request without ackRequired") << "Request" << QByteArray::fromHex("0805");
    QTest::newRow("inject longer than 32 bytes")
        << "Request" << QByteArray::fromHex("0801100032") + char(33) + QByteArray(33, 'b');
    QTest::newRow("proxy frame without reserved1") << "ProxyFrame" << QByteArray::fromHex("1204080122 00");
    {
        // A complete, well-formed frame whose data is one byte over the limit.
        const QByteArray data(65501, 'd');
        const QByteArray record = QByteArray::fromHex("08012283FF03") + data;
        QTest::newRow("frame data of 65501 bytes")
            << "ProxyFrame" << QByteArray::fromHex("080012") + QByteArray::fromHex("8AFF03") + record;
    }
    QTest::newRow("frame without data") << "ProxyFrame" << QByteArray::fromHex("080012020801");
}

void tst_Codec::decodeFailures()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, body);
    QString error;
    bool ok = true;
    if (type == QLatin1String("Request")) {
        Request r;
        ok = decodeRequest(body, &r, &error);
    } else if (type == QLatin1String("Response")) {
        Response r;
        ok = decodeResponse(body, &r, &error);
    } else {
        static ProxyFrame f;
        ok = decodeProxyFrame(body, &f, &error);
    }
    QVERIFY(!ok);
    QVERIFY(!error.isEmpty());
}

using ConfigFill = std::function<void(UserConfiguration &)>;
Q_DECLARE_METATYPE(ConfigFill)

void tst_Codec::configurationRecord_data()
{
    QTest::addColumn<ConfigFill>("fill");
    QTest::addColumn<int>("messageSize");
    QTest::addColumn<QString>("text");

    const QByteArray key = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    QTest::newRow("DHCP, 22-character timestamp, 16-byte key") << ConfigFill([key](UserConfiguration &c) {
        qstrcpy(c.timestamp, "2026-12-07 09.41.07 PM");
        c.which_ipConfig = UserConfiguration_dhcp_tag;
        c.has_psk = true;
        c.psk.size = 16;
        memcpy(c.psk.bytes, key.constData(), 16);
    }) << 44 << "timestamp: \"2026-12-07 09.41.07 PM\" dhcp {} psk: \"" + textBytes(key) + "\"";
    QTest::newRow("static 192.168.1.10/24 without key")
        << ConfigFill([](UserConfiguration &c) {
               qstrcpy(c.timestamp, "2026-12-07 09.41.07 AM");
               c.which_ipConfig = UserConfiguration_staticIp_tag;
               c.ipConfig.staticIp.address = 0x0A01A8C0;
               c.ipConfig.staticIp.mask = 0x00FFFFFF;
               c.ipConfig.staticIp.gateway = 0x0101A8C0;
               c.ipConfig.staticIp.dns = 0x08080808;
           })
        << 46
        << "timestamp: \"2026-12-07 09.41.07 AM\" staticIp { address: 167880896 mask: 16777215 gateway: 16885952 "
           "dns: 134744072 }";
}

void tst_Codec::configurationRecord()
{
    QFETCH(ConfigFill, fill);
    QFETCH(int, messageSize);
    QFETCH(QString, text);

    UserConfiguration config = UserConfiguration_init_zero;
    fill(config);
    // Stored length-delimited in flash, inside an 82-byte buffer.
    pb_byte_t buffer[82];
    pb_ostream_t out = pb_ostream_from_buffer(buffer, sizeof(buffer));
    QVERIFY(pb_encode_ex(&out, UserConfiguration_fields, &config, PB_ENCODE_DELIMITED));
    const QByteArray stored(reinterpret_cast<const char *>(buffer), int(out.bytes_written));
    QCOMPARE(stored.size(), 1 + messageSize);
    QCOMPARE(int(quint8(stored.at(0))), messageSize);
    QCOMPARE(protocEncode(QStringLiteral("UserConfiguration"), text, QStringLiteral("config.proto")).toHex(' '),
             stored.mid(1).toHex(' '));

    UserConfiguration back = UserConfiguration_init_zero;
    pb_istream_t in = pb_istream_from_buffer(buffer, out.bytes_written);
    QVERIFY(pb_decode_ex(&in, UserConfiguration_fields, &back, PB_DECODE_DELIMITED));
    QCOMPARE(QByteArray(back.timestamp), QByteArray(config.timestamp));
    QCOMPARE(back.which_ipConfig, config.which_ipConfig);
    QCOMPARE(back.has_psk, config.has_psk);
}

void tst_Codec::configurationLimits_data()
{
    QTest::addColumn<QString>("text"); // encoded by protoc when set
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("fits");
    QTest::newRow("30-character timestamp") << "timestamp: \"" + QString(30, 't') + "\"" << QByteArray() << true;
    QTest::newRow("31-character timestamp") << "timestamp: \"" + QString(31, 't') + "\"" << QByteArray() << false;
    QTest::newRow("16-byte key") << "timestamp: \"x\" psk: \"" + QString(16, 'k') + "\"" << QByteArray() << true;
    QTest::newRow("17-byte key") << "timestamp: \"x\" psk: \"" + QString(17, 'k') + "\"" << QByteArray() << false;
    // protoc refuses to write records missing required fields, so these are by hand.
    QTest::newRow("no timestamp") << QString() << QByteArray::fromHex("22016B") << false;
    QTest::newRow("static address without dns") << QString() << QByteArray::fromHex("0A01781A06080110021803") << false;
    QTest::newRow("static address complete") << QString() << QByteArray::fromHex("0A01781A0808011002180320 04") << true;
}

void tst_Codec::configurationLimits()
{
    // Records as another encoder writes them; ours must refuse what does not fit.
    QFETCH(QString, text);
    QFETCH(QByteArray, raw);
    QFETCH(bool, fits);
    const QByteArray bytes =
        text.isEmpty() ? raw : protocEncode(QStringLiteral("UserConfiguration"), text, QStringLiteral("config.proto"));
    UserConfiguration c = UserConfiguration_init_zero;
    pb_istream_t in =
        pb_istream_from_buffer(reinterpret_cast<const pb_byte_t *>(bytes.constData()), size_t(bytes.size()));
    QCOMPARE(pb_decode(&in, UserConfiguration_fields, &c), fits);
}

QTEST_GUILESS_MAIN(tst_Codec)
#include "tst_Codec.moc"
