// The main window against the simulated unit: what the unit draws reaches the screen, and what the user does on
// the window comes back drawn by the unit.
#include "support/ClientSettings.h"
#include "support/LogCapture.h"
#include "support/ScreenImages.h"
#include "support/SimProcess.h"

#include "RadioState.h"
#include "ScreenRenderer.h"
#include "SimOptions.h"
#include "app/SettingsKeys.h"
#include "ui/MainWindow.h"
#include "ui/RenderLabel.h"

#include <QAction>
#include <QApplication>
#include <QDial>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace ScreenImages;

class TestDesktopSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void showsWhatTheUnitDrew();
    void clickOnPictureIsDrawnWhereClicked();
    void notchTurnsItsIndicatorOn();
    void mainDialMovesFrequency();
    void powerTurnsRadioOffAndOn();

private:
    template <typename T> T *child(const char *name) const { return m_window->findChild<T *>(QLatin1String(name)); }
    void showView(const char *action);
    // The newest frame on screen and its number, once the visible zone shows one numbered at least `after`.
    QImage currentFrame(uint16_t *number, int minimumAdvance = 1);
    // The first frame on screen whose rect shows the radio in the given state. Frames that left the unit
    // before an input took effect may still be queued on a busy machine, so a fixed number of frames
    // after the input proves nothing; the returned frame is the last one seen if none matched in time.
    QImage frameShowing(const RadioState &state, const QRect &rect, uint16_t *number);

    SimProcess m_sim;
    QTemporaryDir m_dumps;
    std::unique_ptr<MainWindow> m_window;
    RadioState m_expected; // what the simulated radio should be showing by now
};

void TestDesktopSim::initTestCase()
{
    QVERIFY(m_dumps.isValid());
    ClientSettings::useSavedAddressOnly(SimOptions::defaultKey());
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.setValue(SettingsKeys::kMainWindowFrameRate, QStringLiteral("actionFPS_30"));
    s.sync();

    QVERIFY(m_sim.start({QStringLiteral("--dump-frames"), m_dumps.path(), QStringLiteral("--no-mdns")}));
    m_window.reset(new MainWindow);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("stateLabel")->text(), QStringLiteral("Connected"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::Active, 5000);
}

void TestDesktopSim::cleanupTestCase()
{
    m_window.reset();
    m_sim.stop();
}

void TestDesktopSim::showView(const char *action)
{
    child<QAction>(action)->trigger();
    // The window shrinks or grows to fit a few milliseconds later, once its layout has caught up.
    QTest::qWait(50);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->size(), m_window->minimumSizeHint(), 3000);
}

QImage TestDesktopSim::currentFrame(uint16_t *number, int minimumAdvance)
{
    RenderLabel *zone = m_window->whichLabel();
    const uint16_t start = zone->heldFrame() ? zone->heldFrame()->frameNumber : 0;
    // Frames arrive at 30 per second; wait for a few newer ones so that an input has reached the picture.
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(zone->heldFrame() &&
                                     uint16_t(zone->heldFrame()->frameNumber - start) >= minimumAdvance &&
                                     uint16_t(zone->heldFrame()->frameNumber - start) < 30000,
                                 5000);
    }();
    // Nothing runs the event loop from here on, so the held frame stays put while it is read.
    const Frame_t *f = zone->heldFrame();
    *number = f->frameNumber;
    return toImage(QByteArray::fromRawData(reinterpret_cast<const char *>(f->pixels.get()), Frame_t::Bytes));
}

QImage TestDesktopSim::frameShowing(const RadioState &state, const QRect &rect, uint16_t *number)
{
    QElapsedTimer waited;
    waited.start();
    QImage shown = currentFrame(number);
    while (differing(shown, toImage(renderFrame(state, *number)), rect) != 0 && waited.elapsed() < 8000)
        shown = currentFrame(number);
    return shown;
}

void TestDesktopSim::showsWhatTheUnitDrew()
{
    showView("actionScreen_Only");
    RenderLabel *zone = m_window->whichLabel();
    QCOMPARE(zone, child<RenderLabel>("renderZone_3"));
    QCOMPARE(zone->pictureSize(), QSize(480, 272));

    uint16_t n = 0;
    const QImage held = currentFrame(&n);
    // What the window paints ...
    const QImage painted = zone->grab().toImage().convertToFormat(QImage::Format_RGB32).copy(0, 0, 480, 272);
    // ... is what the simulator drew and sent for that frame number.
    QFile dump(m_dumps.filePath(QStringLiteral("frame-%1.rgb565").arg(n, 5, 10, QLatin1Char('0'))));
    // The simulator may still be writing it.
    QTRY_VERIFY_WITH_TIMEOUT(dump.size() == Frame_t::Bytes, 2000);
    QVERIFY(dump.open(QIODevice::ReadOnly));
    const QImage drawn = toImage(dump.readAll());
    QCOMPARE(differing(held, drawn, drawn.rect()), 0);
    QCOMPARE(differing(painted, drawn, drawn.rect()), 0);
    // And the simulator's picture is the one its radio state gives: nothing has been touched yet.
    QCOMPARE(differing(drawn, toImage(renderFrame(m_expected, n)), drawn.rect()), 0);
    painted.save(screenshotPath(QStringLiteral("desktop_sim_screen_only")));
    m_window->grab().save(screenshotPath(QStringLiteral("desktop_sim_window_screen_only")));
}

void TestDesktopSim::clickOnPictureIsDrawnWhereClicked()
{
    showView("actionScreen_Only");
    RenderLabel *zone = m_window->whichLabel();
    const QPoint at(300, 180); // 480 x 272 on screen: radio coordinates are widget coordinates
    QTest::mousePress(zone, Qt::LeftButton, Qt::NoModifier, at);

    RadioState touching = m_expected;
    touching.touching = true;
    touching.touch = at;
    const QRect around(at.x() - 12, at.y() - 12, 25, 25);
    uint16_t n = 0;
    QImage shown = frameShowing(touching, around, &n);
    QCOMPARE(differing(shown, toImage(renderFrame(touching, n)), around), 0);
    // The cross really is there: without the touch those pixels differ.
    QVERIFY(differing(shown, toImage(renderFrame(m_expected, n)), around) > 20);
    QCOMPARE(QColor(shown.pixel(at)), QColor(255, 0, 255));
    m_window->grab().save(screenshotPath(QStringLiteral("desktop_sim_touch")));

    QTest::mouseRelease(zone, Qt::LeftButton, Qt::NoModifier, at);
    shown = frameShowing(m_expected, around, &n);
    QCOMPARE(differing(shown, toImage(renderFrame(m_expected, n)), around), 0);
}

void TestDesktopSim::notchTurnsItsIndicatorOn()
{
    showView("actionFull");
    const QRect indicator = ScreenRenderer::indicatorRect(0x0E02);
    QVERIFY(!indicator.isEmpty());
    uint16_t n = 0;
    QImage shown = currentFrame(&n);
    QCOMPARE(differing(shown, toImage(renderFrame(m_expected, n)), indicator), 0);

    QTest::mouseClick(child<QPushButton>("fpb_Notch_0e02"), Qt::LeftButton);
    m_expected.latched.append(0x0E02);
    shown = frameShowing(m_expected, indicator, &n);
    QCOMPARE(differing(shown, toImage(renderFrame(m_expected, n)), indicator), 0);
    RadioState without = m_expected;
    without.latched.clear();
    QVERIFY(differing(shown, toImage(renderFrame(without, n)), indicator) > 0);
    m_window->grab().save(screenshotPath(QStringLiteral("desktop_sim_full_notch")));
}

void TestDesktopSim::mainDialMovesFrequency()
{
    showView("actionFull");
    QDial *dial = child<QDial>("mainDial");
    // Five detents clockwise, as a user turning the dial step by step.
    for (int i = 0; i < 5; ++i) {
        dial->setValue((dial->value() + 1) % 359);
        QTest::qWait(5);
    }
    m_expected.frequencyHz += 5 * kMainDialStepHz;
    uint16_t n = 0;
    const QImage shown = frameShowing(m_expected, ScreenRenderer::frequencyRect(), &n);
    QCOMPARE(differing(shown, toImage(renderFrame(m_expected, n)), ScreenRenderer::frequencyRect()), 0);
    RadioState before = m_expected;
    before.frequencyHz -= 5 * kMainDialStepHz;
    QVERIFY(differing(shown, toImage(renderFrame(before, n)), ScreenRenderer::frequencyRect()) > 0);
}

void TestDesktopSim::powerTurnsRadioOffAndOn()
{
    showView("actionFull");
    QPushButton *power = child<QPushButton>("unit_power");
    QVERIFY(power->isEnabled());
    QTest::mouseClick(power, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::RadioOffReady, 5000);
    // The keys are off with the radio; POWER stays usable to switch it on again.
    QVERIFY(!child<QPushButton>("fpb_Notch_0e02")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(power->isEnabled(), 1000);

    RenderLabel *zone = m_window->whichLabel();
    QTRY_COMPARE(zone->status(), OverallStatus::RadioOffReady);
    const QImage pic = zone->grab().toImage();
    QCOMPARE(QColor(pic.pixel(2, 2)), QColor(Qt::black));
    int red = 0;
    for (int y = 0; y < 272; ++y)
        for (int x = 0; x < 480; ++x)
            red += QColor(pic.pixel(x, y)) == QColor(Qt::red);
    QVERIFY2(red > 500, qPrintable(QString::number(red)));
    m_window->grab().save(screenshotPath(QStringLiteral("desktop_sim_radio_off")));

    QTest::mouseClick(power, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::Active, 5000);
    QVERIFY(child<QPushButton>("fpb_Notch_0e02")->isEnabled());
    uint16_t n = 0;
    const QImage shown = frameShowing(m_expected, QRect(0, 0, Frame_t::Width, Frame_t::Height), &n);
    QCOMPARE(differing(shown, toImage(renderFrame(m_expected, n)), shown.rect()), 0);
    m_window->grab().save(screenshotPath(QStringLiteral("desktop_sim_radio_on_again")));
}

QTEST_MAIN(TestDesktopSim)
#include "tst_DesktopSim.moc"
