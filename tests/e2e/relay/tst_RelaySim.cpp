// The real program as a relay between the simulated unit (in a network namespace of its own, so both listen on
// 4242) and clients here: the client shows what the unit drew, its inputs come back drawn, and the relay survives a
// silent unit, a unit restart, a client that finds it by its advertisement, several clients and a unit that refuses
// its key.
#include "RelayProcess.h"

#include "support/LogCapture.h"
#include "support/ScreenImages.h"
#include "support/SimProcess.h"

#include "RadioState.h"
#include "ScreenRenderer.h"
#include "SimOptions.h"
#include "discovery/LocatorSettings.h"
#include "link/PylonController.h"
#include "stream/FrameDecompress.h"
#include "ui/MainWindow.h"
#include "ui/RenderLabel.h"

#include <QAction>
#include <QDial>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>

using namespace ScreenImages;

class TestRelaySim : public QObject
{
    Q_OBJECT

    SimProcess m_sim;
    RelayProcess m_relay;
    QTemporaryDir m_dumps;
    std::unique_ptr<MainWindow> m_window;
    RadioState m_expected;

    template <typename T> T *child(const char *name) const { return m_window->findChild<T *>(QLatin1String(name)); }
    void showView(const char *action)
    {
        child<QAction>(action)->trigger();
        QTest::qWait(50);
        QTRY_COMPARE_WITH_TIMEOUT(m_window->size(), m_window->minimumSizeHint(), 3000);
    }
    void useSavedAddress()
    {
        QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        alterLocatorEnable(s, LOC_PROXY_MDNS, false);
        alterLocatorEnable(s, LOC_DIRECT_MDNS, false);
        alterLocatorEnable(s, LOC_IP, true);
        alterExtendedPriority(s, LOC_IP, QStringLiteral("127.0.0.1"));
        s.sync();
    }

    QByteArray dump(int64_t pts)
    {
        QFile f(m_dumps.filePath(QStringLiteral("frame-%1.rgb565").arg(uint16_t(pts), 5, 10, QLatin1Char('0'))));
        (void)QTest::qWaitFor([&] { return f.size() == Frame_t::Bytes; }, 2000);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool connected(int ms)
    {
        return QTest::qWaitFor([&] { return child<QLabel>("stateLabel")->text() == QLatin1String("Connected"); }, ms);
    }
    // The first frame on screen whose rect shows the radio in the given state (or the last one seen).
    QImage frameShowing(const RadioState &state, const QRect &rect, int64_t *pts)
    {
        QElapsedTimer waited;
        waited.start();
        QImage shown;
        do {
            QTest::qWait(40);
            const Frame_t *f = m_window->whichLabel()->heldFrame();
            if (!f)
                continue;
            *pts = f->pts;
            shown = toImage(QByteArray(reinterpret_cast<const char *>(f->pixels.get()), Frame_t::Bytes));
        } while ((shown.isNull() || differing(shown, toImage(renderFrame(state, uint16_t(*pts))), rect) != 0) &&
                 waited.elapsed() < 8000);
        return shown;
    }
    // count decoded frames in a row, each equal to the unit's dump of the same number.
    void framesEqualDumps(int count)
    {
        QList<QPair<int64_t, QByteArray>> frames;
        auto c = connect(m_window->decompressor(), &FrameDecompress::newFrame, this, [&](Frame_t *f) {
            if (frames.size() < count)
                frames.append({f->pts, QByteArray(reinterpret_cast<const char *>(f->pixels.get()), Frame_t::Bytes)});
        });
        QTRY_VERIFY_WITH_TIMEOUT(frames.size() == count, 20000);
        disconnect(c);
        for (int i = 0; i < count; ++i) {
            if (i > 0)
                QVERIFY(frames[i].first > frames[i - 1].first);
            QVERIFY2(frames[i].second == dump(frames[i].first), qPrintable(QString::number(frames[i].first)));
        }
    }

private slots:
    void initTestCase()
    {
        QString why;
        if (!m_sim.isolate(&why))
            QSKIP(qPrintable(why));
        QVERIFY(m_dumps.isValid());
        QVERIFY(m_sim.start({QStringLiteral("--dump-frames"), m_dumps.path(), QStringLiteral("--no-mdns")}));
        QVERIFY(m_relay.start(SimOptions::defaultKey(), m_sim.unitAddress()));
        QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        s.clear();
        s.setValue(SettingsKeys::kNetPsk, SimOptions::defaultKey());
        s.setValue(SettingsKeys::kMainWindowFrameRate, QStringLiteral("actionFPS_30"));
        s.sync();
        useSavedAddress();
        m_window.reset(new MainWindow);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QVERIFY(connected(15000));
        QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::Active, 5000);
        showView("actionScreen_Only");
    }
    void cleanupTestCase()
    {
        m_window.reset();
        m_relay.stop();
        m_sim.stop();
    }

    void showsWhatTheUnitDrew()
    {
        framesEqualDumps(100);
        QTest::qWait(100);
        RenderLabel *zone = m_window->whichLabel();
        const Frame_t *held = zone->heldFrame();
        QVERIFY(held && held->ownerTag == FrameOwner::Decompressor);
        const QImage painted = zone->grab().toImage().convertToFormat(QImage::Format_RGB32).copy(0, 0, 480, 272);
        QCOMPARE(differing(painted, toImage(dump(held->pts)), painted.rect()), 0);
        m_window->grab().save(screenshotPath(QStringLiteral("relay_client_screen")));
    }

    void inputsComeBackDrawn()
    {
        int64_t pts = 0;
        RenderLabel *zone = m_window->whichLabel();
        const QPoint at(300, 180);
        QTest::mousePress(zone, Qt::LeftButton, Qt::NoModifier, at);
        RadioState touching = m_expected;
        touching.touching = true;
        touching.touch = at;
        const QRect around(at.x() - 12, at.y() - 12, 25, 25);
        QImage shown = frameShowing(touching, around, &pts);
        QCOMPARE(differing(shown, toImage(renderFrame(touching, uint16_t(pts))), around), 0);
        QCOMPARE(QColor(shown.pixel(at)), QColor(255, 0, 255));
        QTest::mouseRelease(zone, Qt::LeftButton, Qt::NoModifier, at);
        frameShowing(m_expected, around, &pts);

        showView("actionFull");
        QTest::mouseClick(child<QPushButton>("fpb_Notch_0e02"), Qt::LeftButton);
        m_expected.latched.append(0x0E02);
        const QRect indicator = ScreenRenderer::indicatorRect(0x0E02);
        shown = frameShowing(m_expected, indicator, &pts);
        QCOMPARE(differing(shown, toImage(renderFrame(m_expected, uint16_t(pts))), indicator), 0);

        QDial *dial = child<QDial>("mainDial");
        for (int i = 0; i < 5; ++i) {
            dial->setValue((dial->value() + 1) % 359);
            QTest::qWait(5);
        }
        m_expected.frequencyHz += 5 * kMainDialStepHz;
        shown = frameShowing(m_expected, ScreenRenderer::frequencyRect(), &pts);
        QCOMPARE(differing(shown, toImage(renderFrame(m_expected, uint16_t(pts))), ScreenRenderer::frequencyRect()), 0);
        m_window->grab().save(screenshotPath(QStringLiteral("relay_client_full_notch_dial")));
    }

    // With the radio off the unit says nothing of its own: a client that reconnects through the relay must still
    // get its requests through, reach Connected and switch the radio on.
    void radioOffClientReconnects()
    {
        QPushButton *power = child<QPushButton>("unit_power");
        QTest::mouseClick(power, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::RadioOffReady, 5000);
        const int before = m_relay.count(QStringLiteral("Enabling two-way bridge traffic"));
        m_window->controller()->debugKillSocket();
        QVERIFY(m_relay.waitFor(QStringLiteral("Enabling two-way bridge traffic"), 10000, before + 1));
        QVERIFY(connected(10000));
        QTRY_VERIFY_WITH_TIMEOUT(power->isEnabled(), 5000);
        QTest::mouseClick(power, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::Active, 8000);
    }

    void unitRestart()
    {
        QVERIFY(m_sim.restart());
        m_expected = RadioState();
        QVERIFY(
            QTest::qWaitFor([&] { return child<QLabel>("stateLabel")->text() != QLatin1String("Connected"); }, 15000));
        QVERIFY(connected(20000));
        framesEqualDumps(30);
    }

    // A client with default settings has no address: it finds the relay by the relay's advertisement.
    void defaultSettingsFindRelay()
    {
        QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
        s.clear();
        s.setValue(SettingsKeys::kNetPsk, SimOptions::defaultKey());
        s.sync();
        LogCapture log;
        PylonController controller;
        FrameDecompress decompress;
        connect(&controller, &PylonController::proxySentCompressedFrame, &decompress, &FrameDecompress::newCFrame);
        connect(&decompress, &FrameDecompress::needCtxReset, &controller, &PylonController::proxySignalCtrlReset);
        int equal = 0, differ = 0;
        connect(&decompress, &FrameDecompress::newFrame, this, [&](Frame_t *f) {
            const bool same = std::memcmp(f->pixels.get(), dump(f->pts).constData(), Frame_t::Bytes) == 0;
            (same ? equal : differ)++;
            decompress.buffDispose(f);
        });
        QTRY_VERIFY_WITH_TIMEOUT(equal >= 5, 20000);
        QCOMPARE(differ, 0);
        QVERIFY(log.contains(QStringLiteral("MDNSBrowser: internalLocated")));
        useSavedAddress();
    }

    void eightClients()
    {
        struct Client {
            PylonController controller;
            FrameDecompress decompress;
            int equal = 0, differ = 0;
        };
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 8; ++i) {
            clients.push_back(std::make_unique<Client>());
            Client *c = clients.back().get();
            connect(&c->controller, &PylonController::proxySentCompressedFrame, &c->decompress,
                    &FrameDecompress::newCFrame);
            connect(&c->decompress, &FrameDecompress::needCtxReset, &c->controller,
                    &PylonController::proxySignalCtrlReset);
            connect(&c->decompress, &FrameDecompress::newFrame, this, [this, c](Frame_t *f) {
                if (c->equal < 10) {
                    const bool same = std::memcmp(f->pixels.get(), dump(f->pts).constData(), Frame_t::Bytes) == 0;
                    (same ? c->equal : c->differ)++;
                }
                c->decompress.buffDispose(f);
            });
        }
        QVERIFY(QTest::qWaitFor(
            [&] { return std::all_of(clients.begin(), clients.end(), [](auto &c) { return c->equal >= 10; }); },
            30000));
        for (auto &c : clients)
            QCOMPARE(c->differ, 0);
        QTRY_VERIFY(m_window->whichLabel()->heldFrame());
    }

    // The unit refuses the relay's key: the relay says so and stops serving.
    void unitRefusesRelayKey()
    {
        useSavedAddress();
        QVERIFY(m_sim.start(
            {QStringLiteral("--no-mdns"), QStringLiteral("--key"), QString::fromLatin1(QByteArray(16, 'w').toHex())}));
        QVERIFY2(m_relay.waitFor(QStringLiteral("Server halted."), 20000), qPrintable(m_relay.output().right(3000)));
        for (const char *text :
             {"VQ6020 Bad Radio Access File.", "Remote Client, Proxy Server, and VQ6020 have a mismatched RAF.",
              "Please import correct RAF and restart."})
            QVERIFY(m_relay.count(QString::fromLatin1(text)) >= 1);
    }
};

QTEST_MAIN(TestRelaySim)
#include "tst_RelaySim.moc"
