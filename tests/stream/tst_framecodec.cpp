// The relay's frame codec end to end in one process: the simulated unit's screen through FrameCompress and
// FrameDecompress, with the records in between delayed, dropped, damaged or forged.

#include "stream/CodecLoop.h"
#include "support/LogCapture.h"

#include "ScreenRenderer.h"

#include <QSignalSpy>
#include <QTest>

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

using IntList = QList<int>;
using Damage = std::function<void(CompressedFrameData &)>;
Q_DECLARE_METATYPE(Damage)

class tst_FrameCodec : public QObject
{
    Q_OBJECT

    ScreenRenderer m_renderer;
    RadioState m_radio;

    const QByteArray &screen(int frame) { return m_renderer.render(m_radio, uint16_t(frame)); }

    // The first noiseBytes of the picture random (the same every time), the rest black.
    static QByteArray noise(int noiseBytes)
    {
        QByteArray pixels(Frame_t::Bytes, '\0');
        std::mt19937 rng(7);
        for (int i = 0; i < noiseBytes; ++i)
            pixels[i] = char(rng());
        return pixels;
    }

    // How many noise bytes make a reset point that compresses to exactly the record's 65500 bytes. Found by search:
    // the encoder decides, not the test.
    int m_exactNoise = -1;

private slots:
    void initTestCase()
    {
        CodecLoop loop;
        auto sizeAt = [&](int n) {
            const int before = loop.sizes.size();
            loop.comp.resetContext();
            loop.push(noise(n));
            return loop.sizes.size() > before ? loop.sizes.last() : 1 << 20;
        };
        int lo = 60000, hi = 70000; // fits, does not fit
        QVERIFY(sizeAt(lo) <= 65500 && sizeAt(hi) > 65500);
        while (hi - lo > 1) {
            const int mid = (lo + hi) / 2;
            (sizeAt(mid) <= 65500 ? lo : hi) = mid;
        }
        QCOMPARE(sizeAt(lo), 65500);
        m_exactNoise = lo;
    }

    // Which frames a receiver decodes, depending on when it joins and when reset points are asked for.
    void stream_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("joinAt");
        QTest::addColumn<IntList>("resetRequests"); // before which frames resetContext() is called (twice: twice)
        QTest::addColumn<IntList>("resetPoints");
        QTest::addColumn<int>("firstDecoded");
        QTest::addColumn<int>("contextResets"); // "DCtx Reset" lines

        QTest::newRow("300 frames from a reset point") << 300 << 0 << IntList{0} << IntList{0} << 0 << 1;
        QTest::newRow("no reset point, nothing decoded") << 40 << 0 << IntList{} << IntList{} << 40 << 0;
        QTest::newRow("mid-stream join waits for a reset point")
            << 90 << 30 << IntList{0, 60} << IntList{0, 60} << 60 << 1;
        QTest::newRow("reset point when not waiting resets") << 90 << 0 << IntList{0, 45} << IntList{0, 45} << 0 << 2;
        QTest::newRow("two requests, one reset point") << 60 << 0 << IntList{0, 0, 30, 30} << IntList{0, 30} << 0 << 2;
    }

    void stream()
    {
        QFETCH(int, frames);
        QFETCH(int, joinAt);
        QFETCH(IntList, resetRequests);
        QFETCH(IntList, resetPoints);
        QFETCH(int, firstDecoded);
        QFETCH(int, contextResets);

        LogCapture log;
        CodecLoop loop;
        loop.joinAt = joinAt;
        for (int i = 0; i < frames; ++i) {
            for (int r : resetRequests)
                if (r == i)
                    loop.comp.resetContext();
            loop.push(screen(i));
        }

        QCOMPARE(loop.rawReturned, frames);
        QCOMPARE(loop.records.size(), frames);
        QCOMPARE(loop.resetPoints.toList(), resetPoints);
        QCOMPARE(log.count(QStringLiteral("Resetting context")), resetPoints.size());
        QCOMPARE(log.count(QStringLiteral("DCtx Reset")), contextResets);
        QVERIFY2(loop.unequal.isEmpty(), qPrintable(QStringLiteral("frame %1 differs").arg(loop.unequal.value(0))));
        QCOMPARE(loop.decoded.size(), frames - firstDecoded);
        QCOMPARE(loop.decoded.value(0, frames), firstDecoded);
        QCOMPARE(loop.needResets, 0);
        QCOMPARE(loop.decomp.freeFrames(), FrameDecompress::kPoolFrames);
        QCOMPARE(loop.comp.freeRecords(), FrameCompress::kPoolRecords);
        QVERIFY(*std::max_element(loop.sizes.begin(), loop.sizes.end()) < 65500);
    }

    // A record that does not decode to exactly one frame: one request for a reset point, nothing shown until it comes.
    void damage_data()
    {
        QTest::addColumn<Damage>("damage");

        QTest::newRow("one flipped byte") << Damage([](CompressedFrameData &r) { r.data.bytes[0] ^= 0xff; });
        QTest::newRow("cut short") << Damage([](CompressedFrameData &r) { r.data.size -= 5; });
        QTest::newRow("bytes left over") << Damage([](CompressedFrameData &r) { r.data.bytes[r.data.size++] = 0; });
        QTest::newRow("empty") << Damage([](CompressedFrameData &r) { r.data.size = 0; });
        QTest::newRow("garbage") << Damage([](CompressedFrameData &r) {
            for (int i = 0; i < r.data.size; ++i)
                r.data.bytes[i] = uint8_t(i * 37);
        });
        QTest::newRow("length beyond the array") << Damage([](CompressedFrameData &r) { r.data.size = 65535; });
    }

    void damage()
    {
        QFETCH(Damage, damage);
        constexpr int kDamaged = 12, kReset = 24, kFrames = 36;

        LogCapture log;
        CodecLoop loop;
        loop.tamper = [&](int frame, CompressedFrameData &r) {
            if (frame == kDamaged)
                damage(r);
        };
        for (int i = 0; i < kFrames; ++i) {
            if (i == 0 || i == kReset)
                loop.comp.resetContext();
            loop.push(screen(i));
        }

        QCOMPARE(loop.needResets, 1);
        QCOMPARE(log.count(QStringLiteral("Bad compression context or unexpected zstd behavior")), 1);
        QCOMPARE(log.count(QStringLiteral("Decompress Out:")), 1);
        QVERIFY(loop.unequal.isEmpty());
        IntList expected;
        for (int i = 0; i < kFrames; ++i)
            if (i < kDamaged || i >= kReset)
                expected << i;
        QCOMPARE(loop.decoded.toList(), expected);
        QCOMPARE(loop.decomp.freeFrames(), FrameDecompress::kPoolFrames);
    }

    // A frame the record cannot hold is dropped with its warning, and the stream starts over at the next frame.
    void oversize_data()
    {
        QTest::addColumn<int>("extraNoise"); // noise bytes beyond those that fill a record exactly; -1: all noise
        QTest::addColumn<bool>("sent");

        QTest::newRow("noise picture") << -1 << false;
        QTest::newRow("one noise byte more") << 1 << false;
        QTest::newRow("exactly 65500 bytes") << 0 << true;
    }

    void oversize()
    {
        QFETCH(int, extraNoise);
        QFETCH(bool, sent);
        const int special = 10;
        const QByteArray odd = noise(extraNoise < 0 ? Frame_t::Bytes : m_exactNoise + extraNoise);

        LogCapture log;
        CodecLoop loop;
        for (int i = 0; i < 20; ++i) {
            if (i == 0 || i == special)
                loop.comp.resetContext();
            loop.push(i == special ? odd : screen(i));
        }

        const int warnings = log.count(QStringLiteral("Frame failed to compress to less than 65500 bytes! Uh oh! "
                                                      "Remaining:"));
        QCOMPARE(warnings, sent ? 0 : 1);
        QCOMPARE(loop.records.contains(special), sent);
        if (sent)
            QCOMPARE(loop.sizes.at(loop.records.indexOf(special)), 65500);
        // After a drop the next frame is a reset point by itself.
        QCOMPARE(loop.resetPoints.contains(special + 1), !sent);
        QCOMPARE(loop.rawReturned, 20);
        QVERIFY(loop.unequal.isEmpty());
        QCOMPARE(loop.decoded.size(), sent ? 20 : 19);
        QCOMPARE(loop.needResets, 0);
        QCOMPARE(loop.comp.freeRecords(), FrameCompress::kPoolRecords);
    }

    // What window a sender may ask the receiver to hold: up to 2^27 (long-distance matching's default) is honoured,
    // anything larger refused before the memory is taken.
    void window_data()
    {
        QTest::addColumn<int>("windowLog");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("ours, 2^23") << FrameCompress::kWindowLog << true;
        QTest::newRow("2^27") << 27 << true;
        QTest::newRow("2^28") << 28 << false;
        QTest::newRow("2^31") << 31 << false;
    }

    void window()
    {
        QFETCH(int, windowLog);
        QFETCH(bool, accepted);

        ZSTD_CCtx *cctx = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 1);
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLog);
        auto record = std::make_unique<CompressedFrameData>(CompressedFrameData(CompressedFrameData_init_zero));
        record->stamp = 42;
        record->has_reset = record->reset = true;
        const QByteArray &pixels = screen(3);
        ZSTD_inBuffer in{pixels.constData(), size_t(pixels.size()), 0};
        ZSTD_outBuffer out{record->data.bytes, sizeof(record->data.bytes), 0};
        QCOMPARE(ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_flush), size_t(0));
        ZSTD_freeCCtx(cctx);
        record->data.size = pb_size_t(out.pos);

        LogCapture log;
        FrameDecompress decomp;
        QSignalSpy frames(&decomp, &FrameDecompress::newFrame);
        QSignalSpy resets(&decomp, &FrameDecompress::needCtxReset);
        decomp.newCFrame(*record);

        QCOMPARE(frames.size(), accepted ? 1 : 0);
        QCOMPARE(resets.size(), accepted ? 0 : 1);
        QCOMPARE(decomp.waitingForReset(), !accepted);
        if (accepted) {
            const Frame_t *f = frames.at(0).at(0).value<Frame_t *>();
            QCOMPARE(f->pts, int64_t(42));
            QVERIFY(std::memcmp(f->pixels.get(), pixels.constData(), size_t(Frame_t::Bytes)) == 0);
            QVERIFY(decomp.contextBytes() >= (size_t(1) << windowLog));
        } else {
            QVERIFY2(decomp.contextBytes() < (size_t(1) << 20), qPrintable(QString::number(decomp.contextBytes())));
            QVERIFY(log.contains(QStringLiteral("zstd:")));
        }
    }

    // Consumers that keep everything: each side drops frames with its warning and the stream stays decodable.
    void poolsExhausted_data()
    {
        QTest::addColumn<bool>("holdRecords");
        QTest::addColumn<bool>("holdFrames");
        QTest::addColumn<QString>("warning");

        QTest::newRow("relay keeps its records") << true << false << "Frame compressor starved for buffs";
        QTest::newRow("frame chain keeps its frames")
            << false << true << "Decompressor starved for Frame_t, dropping frame.";
    }

    void poolsExhausted()
    {
        QFETCH(bool, holdRecords);
        QFETCH(bool, holdFrames);
        QFETCH(QString, warning);
        constexpr int kStarved = 5;
        const int pool = holdRecords ? FrameCompress::kPoolRecords : FrameDecompress::kPoolFrames;

        LogCapture log;
        CodecLoop loop;
        loop.holdRecords = holdRecords;
        loop.holdFrames = holdFrames;
        const uint32_t lostBefore = g_framesLostNoBuffer.load();
        loop.comp.resetContext();
        for (int i = 0; i < pool + kStarved; ++i)
            loop.push(screen(i));

        QCOMPARE(log.count(warning), kStarved);
        QCOMPARE(loop.decoded.size(), pool);
        QCOMPARE(loop.rawReturned, pool + kStarved);
        QCOMPARE(g_framesLostNoBuffer.load() - lostBefore, holdFrames ? uint32_t(kStarved) : 0u);

        // Everything comes back; the next frames decode exactly, so the context never lost step.
        for (CompressedFrameData *r : qAsConst(loop.heldRecords))
            loop.comp.cFrameDispose(r);
        for (Frame_t *f : qAsConst(loop.heldFrames))
            loop.decomp.buffDispose(f);
        loop.holdRecords = loop.holdFrames = false;
        for (int i = pool + kStarved; i < pool + kStarved + 10; ++i)
            loop.push(screen(i));
        QCOMPARE(loop.decoded.size(), pool + 10);
        QVERIFY(loop.unequal.isEmpty());
        QCOMPARE(loop.needResets, 0);
        QCOMPARE(loop.comp.freeRecords(), FrameCompress::kPoolRecords);
        QCOMPARE(loop.decomp.freeFrames(), FrameDecompress::kPoolFrames);
    }

    // What comes back to a pool that it did not lend out is left alone.
    void foreignReturns_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("the video worker's frame") << "worker";
        QTest::newRow("another decompressor's frame") << "other";
        QTest::newRow("null") << "null";
        QTest::newRow("returned twice") << "twice";
    }

    void foreignReturns()
    {
        QFETCH(QString, what);
        CodecLoop loop;
        CodecLoop other;
        loop.holdFrames = loop.holdRecords = true;
        other.holdFrames = other.holdRecords = true;
        loop.comp.resetContext();
        other.comp.resetContext();
        loop.push(screen(0));
        other.push(screen(0));
        QCOMPARE(loop.heldFrames.size(), 1);
        Frame_t worker;
        worker.ownerTag = FrameOwner::VideoWorker;

        if (what == "worker") {
            loop.decomp.buffDispose(&worker);
        } else if (what == "other") {
            loop.decomp.buffDispose(other.heldFrames.at(0));
            loop.comp.cFrameDispose(other.heldRecords.at(0));
        } else if (what == "null") {
            loop.decomp.buffDispose(nullptr);
            loop.comp.cFrameDispose(nullptr);
        } else {
            for (int i = 0; i < 2; ++i) {
                loop.decomp.buffDispose(loop.heldFrames.at(0));
                loop.comp.cFrameDispose(loop.heldRecords.at(0));
            }
        }
        // Only the second return of the same frame is refused; the pools never count more than they own.
        const int lent = what == "twice" ? 0 : 1;
        QCOMPARE(loop.decomp.freeFrames(), FrameDecompress::kPoolFrames - lent);
        QCOMPARE(loop.comp.freeRecords(), FrameCompress::kPoolRecords - lent);
        QCOMPARE(worker.ownerTag, FrameOwner::VideoWorker);
    }
};

QTEST_GUILESS_MAIN(tst_FrameCodec)
#include "tst_framecodec.moc"
