#include "link/LrxdDecoder.h"
#include "link/LtxdDecoder.h"
#include "support/LogCapture.h"

#include <QtTest>

#include <memory>

namespace {
std::unique_ptr<SerialDecoder> make(const QString &line)
{
    if (line == "lrxd")
        return std::make_unique<LrxdDecoder>();
    return std::make_unique<LtxdDecoder>();
}

// Feeds the bytes in the given chunks to a fresh decoder and returns what it logged.
QStringList decode(const QString &line, const QList<QByteArray> &chunks)
{
    LogCapture log;
    auto dec = make(line);
    for (const QByteArray &c : chunks)
        dec->newData(c);
    return log.lines();
}

QByteArray overlong(int payloadBytes)
{
    return QByteArray(1, char(0xFE)) + QByteArray(payloadBytes, char(0x01)) + QByteArray(1, char(0xFD));
}
} // namespace

class TestSerialDecoders : public QObject
{
    Q_OBJECT
private slots:
    void messages_data();
    void messages();
};

void TestSerialDecoders::messages_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("expected");

    auto hex = [](const char *h) { return QByteArray::fromHex(h); };

    QTest::newRow("touch") << "ltxd" << hex("fe130001e00010fd")
                           << QStringList{"Touch Payload: 6 fe130001e00010fd", "Touch: X 480, Y 256"};
    QTest::newRow("touch release") << "ltxd" << hex("fe1300270f270ffd")
                                   << QStringList{"Touch Payload: 6 fe1300270f270ffd", "Touch: Release"};
    // Only both coordinates at 9999 mean "finger lifted"; raw Y above 272 gives a negative screen Y.
    QTest::newRow("touch X 9999 alone") << "ltxd" << hex("fe1300270f0001fd")
                                        << QStringList{"Touch Payload: 6 fe1300270f0001fd", "Touch: X 9999, Y 271"};
    QTest::newRow("touch Y below screen")
        << "ltxd" << hex("fe130000000200fd") << QStringList{"Touch Payload: 6 fe130000000200fd", "Touch: X 0, Y -240"};
    QTest::newRow("noise before start") << "ltxd" << hex("0011fdfe130001e00010fd")
                                        << QStringList{"Touch Payload: 6 fe130001e00010fd", "Touch: X 480, Y 256"};
    QTest::newRow("empty payload ltxd") << "ltxd" << hex("fefd") << QStringList{"Empty payload?"};
    QTest::newRow("empty payload lrxd") << "lrxd" << hex("fefd") << QStringList{"Empty payload?"};
    QTest::newRow("start byte inside payload")
        << "lrxd" << hex("fefe0102fd") << QStringList{"Got unkown LRXD Bytes: 3 fe0102"};
    QTest::newRow("lrxd known") << "lrxd" << hex("0011fe0105fd") << QStringList{};
    QTest::newRow("lrxd unknown") << "lrxd" << hex("fe0205fd") << QStringList{"Got unkown LRXD Bytes: 2 0205"};
    QTest::newRow("lrxd 01 but 3 bytes") << "lrxd" << hex("fe010203fd")
                                         << QStringList{"Got unkown LRXD Bytes: 3 010203"};
    QTest::newRow("ltxd 18 ignored") << "ltxd" << hex("fe1800fd") << QStringList{};
    QTest::newRow("ltxd short 13") << "ltxd" << hex("fe1301fd") << QStringList{"Got unkown LTXD Bytes: 2 1301"};
    QTest::newRow("ltxd 7-byte 13") << "ltxd" << hex("fe130001e0001000fd")
                                    << QStringList{"Got unkown LTXD Bytes: 7 130001e0001000"};
    QTest::newRow("two messages back to back")
        << "lrxd" << hex("fe0205fdfe0105fdfeabfd")
        << QStringList{"Got unkown LRXD Bytes: 2 0205", "Got unkown LRXD Bytes: 1 ab"};
    // A lost end byte: the next FD closes the message, with the second start byte inside the payload.
    QTest::newRow("lost end byte") << "lrxd" << hex("fe0205fe0306fd")
                                   << QStringList{"Got unkown LRXD Bytes: 5 0205fe0306"};
    QTest::newRow("end byte outside message") << "lrxd" << hex("fdfdfd") << QStringList{};

    QTest::newRow("payload at the cap") << "lrxd" << overlong(SerialDecoder::MaxPayload)
                                        << QStringList{"Got unkown LRXD Bytes: 256 " + QString("01").repeated(256)};
    // Past the cap the message is dropped, its tail is noise, and the next message decodes normally.
    QTest::newRow("payload over the cap")
        << "lrxd" << overlong(SerialDecoder::MaxPayload + 1) + hex("fe0205fd")
        << QStringList{"LRXD payload longer than 256 bytes without end byte, dropped", "Got unkown LRXD Bytes: 2 0205"};
    QTest::newRow("runaway without end") << "ltxd" << QByteArray(1, char(0xFE)) + QByteArray(2000, char(0x13))
                                         << QStringList{"LTXD payload longer than 256 bytes without end byte, dropped"};
}

void TestSerialDecoders::messages()
{
    QFETCH(QString, line);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, expected);

    QCOMPARE(decode(line, {bytes}), expected);
    QCOMPARE(decode(line, {QByteArray(), bytes, QByteArray()}), expected);

    // Long inputs: a handful of cuts is enough, the short ones are cut everywhere.
    const int step = bytes.size() > 64 ? 37 : 1;
    for (int i = 1; i < bytes.size(); i += step) {
        const QStringList two = decode(line, {bytes.left(i), bytes.mid(i)});
        QVERIFY2(two == expected, qPrintable(QString("cut at %1: %2").arg(i).arg(two.join(" | "))));
        for (int j = i + 1; j < bytes.size(); j += step) {
            const QStringList three = decode(line, {bytes.left(i), bytes.mid(i, j - i), bytes.mid(j)});
            QVERIFY2(three == expected, qPrintable(QString("cuts at %1, %2: %3").arg(i).arg(j).arg(three.join(" | "))));
        }
    }
    QList<QByteArray> single;
    for (char c : bytes)
        single << QByteArray(1, c);
    QCOMPARE(decode(line, single), expected);
}

QTEST_MAIN(TestSerialDecoders)
#include "tst_SerialDecoders.moc"
