// The main window fed by a relay: compressed records handed over by the controller are shown, travel the frame chain
// back to the decompressor, and a stream that no longer decodes makes the controller drop the connection.
#include "support/LogCapture.h"

#include "ScreenRenderer.h"
#include "link/PylonController.h"
#include "stream/FrameCompress.h"
#include "stream/FrameDecompress.h"
#include "ui/MainWindow.h"
#include "ui/RenderLabel.h"

#include <QAction>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <cstring>

class TestMainWindowRelay : public QObject
{
    Q_OBJECT

private slots:
    void relayFrames_data()
    {
        QTest::addColumn<int>("damagedAt"); // -1: none
        QTest::newRow("more frames than the pool holds") << -1;
        QTest::newRow("a damaged record disconnects") << 10;
    }

    void relayFrames()
    {
        QFETCH(int, damagedAt);
        constexpr int kFrames = 45; // more than twice the decompressor's pool

        LogCapture log;
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.findChild<QAction *>(QStringLiteral("actionFull"))->trigger();
        RenderLabel *zone = window.findChild<RenderLabel *>(QStringLiteral("renderZone_1"));
        QTRY_VERIFY(zone->isVisible());
        QSignalSpy states(window.controller(), &PylonController::notifyUserOfState);

        ScreenRenderer renderer;
        RadioState radio;
        FrameCompress comp;
        Frame_t raw;
        int records = 0;
        connect(&comp, &FrameCompress::newCFrame, this, [&](CompressedFrameData *r) {
            if (records++ == damagedAt)
                r->data.bytes[0] ^= 0xff;
            emit window.controller()->proxySentCompressedFrame(*r);
            comp.cFrameDispose(r);
        });
        comp.resetContext();
        for (int i = 0; i < kFrames; ++i) {
            std::memcpy(raw.pixels.get(), renderer.render(radio, uint16_t(i)).constData(), size_t(Frame_t::Bytes));
            raw.pts = i;
            comp.newBuff(&raw);
            QCoreApplication::processEvents(); // stages in other threads hand frames back through the queue
            if (i == damagedAt)
                break;
            const Frame_t *shown = zone->heldFrame();
            QVERIFY(shown);
            QCOMPARE(shown->ownerTag, FrameOwner::Decompressor);
            QCOMPARE(shown->pts, int64_t(i));
            QVERIFY(std::memcmp(shown->pixels.get(), raw.pixels.get(), size_t(Frame_t::Bytes)) == 0);
        }

        QCOMPARE(log.count(QStringLiteral("Decompressor starved")), 0);
        QTRY_VERIFY(window.decompressor()->freeFrames() >= FrameDecompress::kPoolFrames - 4);
        auto disconnects = [&] {
            return std::count_if(states.begin(), states.end(), [](const QList<QVariant> &s) {
                return s.at(0).toString() == QLatin1String("Error - Disconnect");
            });
        };
        if (damagedAt >= 0) {
            QTRY_COMPARE(disconnects(), 1);
        } else {
            QTest::qWait(50);
            QCOMPARE(disconnects(), 0);
        }
        zone->setFrame(nullptr);
    }
};

QTEST_MAIN(TestMainWindowRelay)
#include "tst_mainwindow_relay.moc"
