// What a peer can send us and what we put on the wire: decoding rejects every
// malformed datagram whole, and encoding produces the exact compressed bytes.
#include "discovery/mdns/Dns.h"

#include <QtTest>

using namespace QMdnsEngine;

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// A response header with the given counts of questions and answers.
QByteArray header(int questions, int answers)
{
    QByteArray h = hex("0000 8400");
    for (int count : {questions, answers, 0, 0}) {
        h.append(char(count >> 8));
        h.append(char(count & 0xff));
    }
    return h;
}

Record makeRecord(quint16 type, const QByteArray &name)
{
    Record record;
    record.setName(name);
    record.setType(type);
    record.setTtl(120);
    return record;
}
} // namespace

class tst_MdnsCodec : public QObject
{
    Q_OBJECT

private slots:
    void rejectsMalformed_data();
    void rejectsMalformed();
    void acceptsBackwardPointers();
    void txtValues_data();
    void txtValues();
    void roundTrip_data();
    void roundTrip();
    void compressesNames_data();
    void compressesNames();
    void typeNames_data();
    void typeNames();
};

void tst_MdnsCodec::rejectsMalformed_data()
{
    QTest::addColumn<QByteArray>("packet");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("11 bytes") << hex("0000 8400 0000 0000 0000 00");
    // Question "a." with label length bytes from the reserved ranges.
    QTest::newRow("label length 64") << header(1, 0) + hex("40") + QByteArray(64, 'x') + hex("00 0001 0001");
    QTest::newRow("label length 0x80") << header(1, 0) + hex("80") + QByteArray(128, 'x') + hex("00 0001 0001");
    QTest::newRow("label length 191") << header(1, 0) + hex("bf") + QByteArray(191, 'x') + hex("00 0001 0001");
    // Pointer at offset 12 to itself, and one to a later offset.
    QTest::newRow("self pointer") << header(1, 0) + hex("c00c 0001 0001");
    QTest::newRow("forward pointer") << header(1, 0) + hex("c012 0001 0001 0161 00");
    // A label, then a pointer back into the same name: still a loop.
    QTest::newRow("pointer into own name") << header(1, 0) + hex("0161 c00c 0001 0001");
    QTest::newRow("pointer past end") << header(1, 0) + hex("c3ff 0001 0001");
    QTest::newRow("half a pointer") << header(1, 0) + hex("c0");
    QTest::newRow("label past end") << header(1, 0) + hex("0561 62");
    QTest::newRow("name without end") << header(1, 0) + hex("0161");
    QTest::newRow("question without class") << header(1, 0) + hex("0161 00 0001");
    QTest::newRow("more questions than bytes") << header(2, 0) + hex("0161 00 0001 0001");
    QTest::newRow("record without data length") << header(0, 1) + hex("0161 00 0001 0001 00000078");
    QTest::newRow("data length past end") << header(0, 1) + hex("0161 00 0001 0001 00000078 0004 0a00");
    QTest::newRow("short A") << header(0, 1) + hex("0161 00 0001 0001 00000078 0002 0a00");
    QTest::newRow("short AAAA") << header(0, 1) + hex("0161 00 001c 0001 00000078 0004 0a000001");
    QTest::newRow("PTR name spills out of its data")
        << header(0, 2) + hex("0161 00 000c 0001 00000078 0001 0162 00") + hex("c00c 0001 0001 00000078 0004 0a000001");
    QTest::newRow("TXT string spills out of its data")
        << header(0, 1) + hex("0161 00 0010 0001 00000078 0002 0561") + QByteArray("bcde");
    QTest::newRow("NSEC window 1") << header(0, 1) + hex("0161 00 002f 0001 00000078 0005 c00c 0101 40");
    QTest::newRow("NSEC window 255") << header(0, 1) + hex("0161 00 002f 0001 00000078 0005 c00c ff01 40");
    QTest::newRow("NSEC bitmap of 33 bytes")
        << header(0, 1) + hex("0161 00 002f 0001 00000078 0025 c00c 0021") + QByteArray(33, '\xff');
    QTest::newRow("NSEC without window") << header(0, 1) + hex("0161 00 002f 0001 00000078 0002 c00c");

    // A valid name followed by 40 pointers, each pointing at the one before it.
    QByteArray chain = header(41, 0) + hex("0161 00 0001 0001");
    int previous = 12;
    for (int i = 0; i < 40; ++i) {
        const int here = chain.size();
        chain.append(char(0xc0 | (previous >> 8)));
        chain.append(char(previous & 0xff));
        chain.append(hex("0001 0001"));
        previous = here;
    }
    // Question n + 1 reaches "a." through n pointers; the last one is 40 pointers deep.
    QTest::newRow("long backward pointer chain") << chain;
    QByteArray longName = header(1, 0);
    for (int i = 0; i < 5; ++i)
        longName += hex("3f") + QByteArray(63, 'x');
    QTest::newRow("name longer than 255") << longName + hex("00 0001 0001");
}

void tst_MdnsCodec::rejectsMalformed()
{
    QFETCH(QByteArray, packet);
    Message message;
    message.setTransactionId(0x4242);
    QVERIFY(!decodeMessage(packet, message));
    // Nothing of a rejected datagram is used.
    QCOMPARE(message.transactionId(), quint16(0x4242));
    QVERIFY(message.queries().isEmpty());
    QVERIFY(message.records().isEmpty());
}

void tst_MdnsCodec::acceptsBackwardPointers()
{
    // "a.local." in full, then "b" + pointer to "local.", then a pointer to the second name.
    const QByteArray packet =
        header(3, 0) + hex("0161 056c6f63616c 00 0001 0001") + hex("0162 c00e 0001 0001") + hex("c019 001c 8001");
    Message message;
    QVERIFY(decodeMessage(packet, message));
    QCOMPARE(message.queries().size(), 3);
    QCOMPARE(message.queries().at(0).name(), QByteArray("a.local."));
    QCOMPARE(message.queries().at(1).name(), QByteArray("b.local."));
    QCOMPARE(message.queries().at(2).name(), QByteArray("b.local."));
    QCOMPARE(message.queries().at(2).type(), quint16(AAAA));
    QVERIFY(message.queries().at(2).unicastResponse());
    QVERIFY(!message.queries().at(1).unicastResponse());
}

void tst_MdnsCodec::txtValues_data()
{
    QTest::addColumn<QByteArray>("strings");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("valueIsNull");

    QTest::newRow("no equals sign") << hex("04") + QByteArray("path") << QByteArray("path") << QByteArray() << true;
    QTest::newRow("trailing equals sign")
        << hex("05") + QByteArray("path=") << QByteArray("path") << QByteArray("") << false;
    QTest::newRow("key and value") << hex("07") + QByteArray("path=/x") << QByteArray("path") << QByteArray("/x")
                                   << false;
    QTest::newRow("second equals sign stays in the value")
        << hex("05") + QByteArray("a=b=c") << QByteArray("a") << QByteArray("b=c") << false;
}

void tst_MdnsCodec::txtValues()
{
    QFETCH(QByteArray, strings);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(bool, valueIsNull);

    QByteArray packet = header(0, 1) + hex("0161 00 0010 0001 00000078");
    packet.append(char(0));
    packet.append(char(strings.size()));
    packet.append(strings);

    Message message;
    QVERIFY(decodeMessage(packet, message));
    QCOMPARE(message.records().size(), 1);
    const QMap<QByteArray, QByteArray> attributes = message.records().at(0).attributes();
    QCOMPARE(attributes.keys(), QList<QByteArray>{key});
    QCOMPARE(attributes.value(key), value);
    QCOMPARE(attributes.value(key).isNull(), valueIsNull);
    // Written back byte for byte: the key alone, or with its "=".
    QCOMPARE(encodeMessage(message).toHex(), packet.toHex());
}

void tst_MdnsCodec::roundTrip_data()
{
    QTest::addColumn<Record>("record");

    Record a = makeRecord(A, "vq6020.local.");
    a.setAddress(QHostAddress("10.77.0.2"));
    a.setFlushCache(true);
    QTest::newRow("A") << a;
    Record aaaa = makeRecord(AAAA, "vq6020.local.");
    aaaa.setAddress(QHostAddress("fe80::1:2:3:4"));
    QTest::newRow("AAAA") << aaaa;
    Record ptr = makeRecord(PTR, "_fernholow._tcp.local.");
    ptr.setTarget("_vq6020._fernholow._tcp.local.");
    QTest::newRow("PTR") << ptr;
    Record srv = makeRecord(SRV, "_vq6020._fernholow._tcp.local.");
    srv.setPriority(1);
    srv.setWeight(2);
    srv.setPort(4242);
    srv.setTarget("relay.local.");
    QTest::newRow("SRV") << srv;
    Record txt = makeRecord(TXT, "_vq6020._fernholow._tcp.local.");
    txt.addAttribute("alone", QByteArray());
    txt.addAttribute("empty", QByteArray(""));
    txt.addAttribute("k", "v");
    QTest::newRow("TXT") << txt;
    QTest::newRow("TXT without attributes") << makeRecord(TXT, "x._fernholow._tcp.local.");
    Record nsec = makeRecord(NSEC, "vq6020.local.");
    nsec.setNextDomainName("vq6020.local.");
    Bitmap bitmap;
    const quint8 bits[] = {0x40, 0x00, 0x00, 0x08};
    bitmap.setData(4, bits);
    nsec.setBitmap(bitmap);
    QTest::newRow("NSEC") << nsec;
}

void tst_MdnsCodec::roundTrip()
{
    QFETCH(Record, record);
    Message message;
    message.setTransactionId(0x1234);
    message.setResponse(true);
    message.setTruncated(true);
    Query query;
    query.setName(record.name());
    query.setType(record.type());
    query.setUnicastResponse(true);
    message.addQuery(query);
    message.addRecord(record);
    // The same record twice: the second copy must come out identical from compressed names.
    message.addRecord(record);

    Message decoded;
    QVERIFY(decodeMessage(encodeMessage(message), decoded));
    QCOMPARE(decoded.transactionId(), quint16(0x1234));
    QVERIFY(decoded.isResponse());
    QVERIFY(decoded.isTruncated());
    QCOMPARE(decoded.queries().size(), 1);
    QVERIFY(decoded.queries().at(0) == query);
    QCOMPARE(decoded.records().size(), 2);
    for (const Record &got : decoded.records()) {
        QVERIFY(got == record);
        QCOMPARE(got.ttl(), record.ttl());
        QCOMPARE(got.flushCache(), record.flushCache());
    }
}

void tst_MdnsCodec::compressesNames_data()
{
    QTest::addColumn<Record>("record");
    QTest::addColumn<QByteArray>("expected");

    // In each row the owner name is written in full at offset 12 and the name
    // inside the data points back into it.
    Record ptr = makeRecord(PTR, "_x._tcp.local.");
    ptr.setTarget("a._x._tcp.local.");
    QTest::newRow("PTR target") << ptr
                                << header(0, 1) + hex("025f78 045f746370 056c6f63616c 00 000c 0001 00000078 0004"
                                                      "0161 c00c");
    Record srv = makeRecord(SRV, "a._x._tcp.local.");
    srv.setPort(4242);
    srv.setTarget("h.local.");
    QTest::newRow("SRV target") << srv
                                << header(0, 1) + hex("0161 025f78 045f746370 056c6f63616c 00 0021 0001 00000078"
                                                      "000a 0000 0000 1092 0168 c016");
    // Empty labels cannot go on the wire; they are left out before compression, so
    // "..y." points at the "y" that was really written.
    Record dots = makeRecord(PTR, "x..y.");
    dots.setTarget("..y.");
    QTest::newRow("empty labels") << dots << header(0, 1) + hex("0178 0179 00 000c 0001 00000078 0002 c00e");
    Record nsec = makeRecord(NSEC, "h.local.");
    nsec.setFlushCache(true);
    nsec.setNextDomainName("h.local.");
    Bitmap bitmap;
    const quint8 bits[] = {0x40};
    bitmap.setData(1, bits);
    nsec.setBitmap(bitmap);
    QTest::newRow("NSEC next name") << nsec
                                    << header(0, 1) + hex("0168 056c6f63616c 00 002f 8001 00000078 0005 c00c 0001 40");
}

void tst_MdnsCodec::compressesNames()
{
    QFETCH(Record, record);
    QFETCH(QByteArray, expected);
    Message message;
    message.setResponse(true);
    message.addRecord(record);
    QCOMPARE(encodeMessage(message).toHex(' '), expected.toHex(' '));
}

void tst_MdnsCodec::typeNames_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");
    QTest::newRow("A") << 1 << "A";
    QTest::newRow("PTR") << 12 << "PTR";
    QTest::newRow("TXT") << 16 << "TXT";
    QTest::newRow("AAAA") << 28 << "AAAA";
    QTest::newRow("SRV") << 33 << "SRV";
    QTest::newRow("NSEC") << 47 << "NSEC";
    QTest::newRow("ANY") << 255 << "ANY";
    QTest::newRow("HINFO") << 13 << "?";
    QTest::newRow("0") << 0 << "?";
}

void tst_MdnsCodec::typeNames()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    QCOMPARE(typeName(quint16(type)), name);
}

QTEST_GUILESS_MAIN(tst_MdnsCodec)
#include "tst_MdnsCodec.moc"
