// The configuration record against protoc as the other implementation, and
// the conversion from the window's address fields.
#include "Protoc.h"
#include "maintenance/ConfigRecord.h"

#include <QtTest>

using namespace ConfigRecord;

class tst_ConfigRecord : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("protoc").isEmpty())
            QSKIP("protoc is not installed (scripts/bootstrap installs it)");
    }

    void decodesWhatProtocEncodes_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("dhcp");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("key");

        QTest::newRow("static with key")
            << QByteArray("timestamp: \"2026-12-08 09.30.00 AM\" staticIp { address: 167880896 mask: 16777215 "
                          "gateway: 16885952 dns: 134744072 reserved5: 7 } psk: \"0123456789abcdef\"")
            << false << "192.168.1.10" << QByteArray("0123456789abcdef");
        QTest::newRow("dhcp without key")
            << QByteArray("timestamp: \"x\" dhcp {}") << true << "0.0.0.0" << QByteArray();
        QTest::newRow("neither member means dhcp")
            << QByteArray("timestamp: \"x\"") << true << "0.0.0.0" << QByteArray();
    }

    void decodesWhatProtocEncodes()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, dhcp);
        QFETCH(QString, address);
        QFETCH(QByteArray, key);
        bool ok = false;
        QByteArray sector = Protoc::encodeDelimited(text, &ok);
        QVERIFY(ok);
        sector += QByteArray(65536 - sector.size(), '\xFF');
        UserConfiguration record;
        QString error;
        QVERIFY2(decode(sector, &record, &error), qPrintable(error));
        const Fields f = toFields(record, KeySource::Unit);
        QCOMPARE(f.dhcp, dhcp);
        QCOMPARE(f.address, address);
        QCOMPARE(keyOf(record), key);
        if (!dhcp) {
            QCOMPARE(f.mask, QString("255.255.255.0"));
            QCOMPARE(f.gateway, QString("192.168.1.1"));
            QCOMPARE(f.dns, QString("8.8.8.8"));
        }
    }

    // A DHCP record with a 22-character timestamp and a 16-byte key: 44 bytes
    // plus one length byte, the same bytes protoc makes.
    void dhcpRecordIsByteExact()
    {
        UserConfiguration record = UserConfiguration_init_zero;
        qstrcpy(record.timestamp, "2026-12-08 09.30.00 AM");
        record.which_ipConfig = UserConfiguration_dhcp_tag;
        record.has_psk = true;
        record.psk.size = 16;
        memcpy(record.psk.bytes, "0123456789abcdef", 16);
        const QByteArray bytes = encode(record);
        QCOMPARE(bytes.size(), 45);
        QCOMPARE(int(bytes[0]), 44);
        bool ok = false;
        QCOMPARE(bytes, Protoc::encodeDelimited(
                            "timestamp: \"2026-12-08 09.30.00 AM\" dhcp {} psk: \"0123456789abcdef\"", &ok));
        QVERIFY(ok);
    }

    void staticAddressIsLittleEndianVarint()
    {
        Fields f;
        f.dhcp = false;
        f.address = "192.168.001.010";
        f.mask = "255.255.255.000";
        UserConfiguration record;
        QVERIFY(fromFields(f, QDateTime(QDate(2026, 12, 8), QTime(9, 30)), &record, nullptr));
        const QByteArray bytes = encode(record);
        // staticIp { address (field 1): varint of 0x0A01A8C0 }
        QVERIFY(bytes.contains(QByteArray::fromHex("08c0d18650")));
        bool ok = false;
        const QString text = Protoc::decodeDelimited(bytes, &ok);
        QVERIFY(ok);
        QVERIFY2(text.contains("address: 167880896"), qPrintable(text));
    }

    void hostileSectorsDoNotDecode_data()
    {
        QTest::addColumn<QByteArray>("sector");
        const QByteArray ok = QByteArray::fromHex("0b0a0178") + QByteArray("\x12\x00\x22\x04"
                                                                           "abcd",
                                                                           8);
        QTest::newRow("erased") << QByteArray(65536, '\xFF');
        QTest::newRow("zeros") << QByteArray(65536, '\0');
        QTest::newRow("huge length") << QByteArray::fromHex("ffffffff0f0a0178");
        QTest::newRow("overlong varint") << QByteArray::fromHex("0a0affffffffffffffffffff01");
        QTest::newRow("key of 17 bytes") << QByteArray::fromHex("170a01782211") + QByteArray(17, 'k');
        QTest::newRow("timestamp of 31 bytes") << QByteArray::fromHex("210a1f") + QByteArray(31, 't');
        QTest::newRow("cut short") << ok.left(5);
        QTest::newRow("no timestamp") << QByteArray::fromHex("021200");
    }

    void hostileSectorsDoNotDecode()
    {
        QFETCH(QByteArray, sector);
        UserConfiguration record;
        QString error;
        QVERIFY(!decode(sector, &record, &error));
        QCOMPARE(record.timestamp[0], '\0');
        QVERIFY(!record.has_psk);
    }

    // Octets are decimal however they are padded; the field's validator
    // accepts zero padding, so it must not turn into octal.
    void addressFields_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address");
        QTest::newRow("zero padded") << "192.168.001.010"
                                     << "192.168.1.10";
        QTest::newRow("08 is eight") << "192.168.1.08"
                                     << "192.168.1.8";
        QTest::newRow("mask blanks") << "10 .0  .0  .1  "
                                     << "10.0.0.1";
        QTest::newRow("octet too big") << "256.1.1.1"
                                       << "0.0.0.0";
        QTest::newRow("three octets") << "1.2.3"
                                      << "0.0.0.0";
        QTest::newRow("empty octet") << "1..3.4"
                                     << "0.0.0.0";
    }

    void addressFields()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QCOMPARE(formatAddress(parseAddress(text)), address);
    }

    void staticRecordNeedsAddressAndMask_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("both") << "192.168.1.10"
                              << "255.255.255.0" << true;
        QTest::newRow("no address") << "0.0.0.0"
                                    << "255.255.255.0" << false;
        QTest::newRow("no mask") << "192.168.1.10"
                                 << "000.000.000.000" << false;
        QTest::newRow("unparsable address") << "192.168.1"
                                            << "255.255.255.0" << false;
    }

    void staticRecordNeedsAddressAndMask()
    {
        QFETCH(QString, address);
        QFETCH(QString, mask);
        QFETCH(bool, accepted);
        Fields f;
        f.dhcp = false;
        f.address = address;
        f.mask = mask;
        UserConfiguration record;
        QString error;
        QCOMPARE(fromFields(f, QDateTime::currentDateTime(), &record, &error), accepted);
        QCOMPARE(error.isEmpty(), accepted);
    }
};

QTEST_GUILESS_MAIN(tst_ConfigRecord)
#include "tst_ConfigRecord.moc"
