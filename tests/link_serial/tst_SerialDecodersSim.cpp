// The decoders fed by the controller as the main window wires them, against the simulated unit's serial lines:
// its idle chatter must decode silently and the touches we inject must come back as decoded touch reports.
#include "../e2e/controller/SimRunner.h"
#include "support/LogCapture.h"

#include "support/ClientSettings.h"
#include "link/LrxdDecoder.h"
#include "link/LtxdDecoder.h"
#include "link/PylonController.h"

#include <QtTest>

namespace {
const QByteArray kKey = QByteArray::fromHex("00112233445566778899aabbccddeeff");

void configure()
{
    ClientSettings::useSavedAddressOnly(kKey);
}

QStringList decoderLines(const LogCapture &log)
{
    QStringList out;
    for (const QString &l : log.lines())
        if (l.startsWith("Touch Payload: ") || l.startsWith("Touch: ") || l.startsWith("Got unkown") ||
            l.contains("payload"))
            out << l;
    return out;
}
} // namespace

class TestSerialDecodersSim : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void touchesComeBack_data();
    void touchesComeBack();

private:
    SimRunner m_sim;
    std::unique_ptr<PylonController> m_controller;
    std::unique_ptr<LrxdDecoder> m_lrxd;
    std::unique_ptr<LtxdDecoder> m_ltxd;
    int m_ltxdChunks = 0;
    int m_lrxdChunks = 0;
};

void TestSerialDecodersSim::initTestCase()
{
    configure();
    QVERIFY(m_sim.start({"--key", QString::fromLatin1(kKey.toHex()), "--no-mdns", "--serial-interval", "20"}));
    m_controller = std::make_unique<PylonController>();
    m_lrxd = std::make_unique<LrxdDecoder>();
    m_ltxd = std::make_unique<LtxdDecoder>();
    connect(m_controller.get(), &PylonController::newLtxdBytes, m_ltxd.get(), &SerialDecoder::newData);
    connect(m_controller.get(), &PylonController::newLrxdBytes, m_lrxd.get(), &SerialDecoder::newData);
    connect(m_controller.get(), &PylonController::newLtxdBytes, this, [this] { ++m_ltxdChunks; });
    connect(m_controller.get(), &PylonController::newLrxdBytes, this, [this] { ++m_lrxdChunks; });

    LogCapture log;
    QVERIFY(QTest::qWaitFor([this] { return m_controller->state() == PylonController::Connected; }, 8000));
    // The radio's idle chatter on both lines is known traffic: it arrives and logs nothing.
    QVERIFY(QTest::qWaitFor([this] { return m_ltxdChunks >= 40 && m_lrxdChunks >= 40; }, 5000));
    QCOMPARE(decoderLines(log), QStringList());
}

void TestSerialDecodersSim::cleanupTestCase()
{
    m_controller.reset();
    m_sim.stop();
}

void TestSerialDecodersSim::touchesComeBack_data()
{
    QTest::addColumn<QPoint>("point"); // (-1, -1) = release
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("inside") << QPoint(100, 50)
                            << QStringList{"Touch Payload: 6 fe1300006400defd", "Touch: X 100, Y 50"};
    QTest::newRow("bottom-right corner") << QPoint(480, 272)
                                         << QStringList{"Touch Payload: 6 fe130001e00000fd", "Touch: X 480, Y 272"};
    QTest::newRow("top-left corner") << QPoint(0, 0)
                                     << QStringList{"Touch Payload: 6 fe130000000110fd", "Touch: X 0, Y 0"};
    QTest::newRow("release") << QPoint(-1, -1) << QStringList{"Touch Payload: 6 fe1300270f270ffd", "Touch: Release"};
}

void TestSerialDecodersSim::touchesComeBack()
{
    QFETCH(QPoint, point);
    QFETCH(QStringList, expected);

    LogCapture log;
    if (point == QPoint(-1, -1))
        m_controller->injectTouchRelease();
    else
        m_controller->injectTouch(point);
    QVERIFY2(log.waitFor(expected.last(), 5000), qPrintable(decoderLines(log).join(" | ")));
    // Chatter keeps flowing meanwhile, interleaved with the report on the same line; none of it may disturb it.
    QTest::qWait(200);
    QCOMPARE(decoderLines(log), expected);
}

QTEST_MAIN(TestSerialDecodersSim)
#include "tst_SerialDecodersSim.moc"
