// The recorder object in its own thread, fed as the main window feeds it: every frame comes back exactly once, the
// file holds what was encoded whatever the stamps do, and a slow codec never holds the frame chain.
#include "MediaCheck.h"
#include "SimFrames.h"

#include "recording/encoder.h"
#include "support/LogCapture.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cstring>
#include <vector>

namespace {
constexpr int kPool = 20;

// The recorder in a thread, with a 20-frame pool standing in for the video worker's.
struct Rig {
    QThread thread;
    encoder *enc = new encoder;
    std::vector<Frame_t> pool = std::vector<Frame_t>(kPool);
    std::atomic<int> returns[kPool] = {};
    std::atomic<qint64> returnedAtNs[kPool] = {};
    std::atomic<int> strays{0};
    QElapsedTimer clock;
    QByteArray pictures = SimFrames::render(30);

    Rig()
    {
        clock.start();
        enc->moveToThread(&thread);
        QObject::connect(
            enc, &encoder::buffDispose, enc,
            [this](Frame_t *f) {
                const long i = f - pool.data();
                if (i < 0 || i >= kPool) {
                    ++strays;
                    return;
                }
                returnedAtNs[i] = clock.nsecsElapsed();
                ++returns[i];
            },
            Qt::DirectConnection);
        thread.start();
    }
    ~Rig()
    {
        call([this] { enc->shutdown(); });
        // Its statistics timer belongs to its thread: it goes as that thread winds down.
        QObject::connect(&thread, &QThread::finished, enc, &QObject::deleteLater);
        thread.quit();
        thread.wait();
    }
    template <typename F> void call(F f) { QMetaObject::invokeMethod(enc, f, Qt::BlockingQueuedConnection); }
    void start(const QString &file, encoder::EncoderPreset preset = encoder::H264_YUV420_CRF30)
    {
        call([=] { enc->startWorker(file, preset); });
    }
    Frame_t *prepare(int slot, int64_t pts, int picture)
    {
        Frame_t &f = pool[size_t(slot)];
        f.pts = pts;
        f.ownerTag = FrameOwner::VideoWorker;
        std::memcpy(f.pixels.get(), pictures.constData() + (picture % 30) * Frame_t::Bytes, Frame_t::Bytes);
        return &f;
    }
    // One frame at a time, each after the ring had room for it: no frame is dropped for want of time.
    void feed(int64_t pts, int picture)
    {
        while (enc->pendingFrames() >= EncoderCore::kRingSlots)
            QThread::usleep(500);
        Frame_t *f = prepare(0, pts, picture);
        call([=] { enc->newBuff(f); });
    }
};

// "Recording finished: <encoded> frames encoded, <dropped> dropped" of the last recording.
bool finished(const LogCapture &log, int *encoded, int *dropped)
{
    const QStringList lines = log.matching(QStringLiteral("Recording finished: "));
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("(\\d+) frames encoded, (\\d+) dropped"))
                                          .match(lines.value(lines.size() - 1));
    if (!m.hasMatch())
        return false;
    *encoded = m.captured(1).toInt();
    *dropped = m.captured(2).toInt();
    return true;
}
} // namespace

class TestEncoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stamps_data();
    void stamps();
    void startWhileRecordingFinishesTheFirstFile();
    void slowCodecNeverHoldsTheChain();
    void captureHandleGuard();
    void refusesBadPresetAndRate();

private:
    QString file(const QString &name) const { return m_dir.filePath(name + QStringLiteral(".mp4")); }
    QTemporaryDir m_dir;
};

void TestEncoder::initTestCase()
{
    if (!MediaCheck::toolsPresent())
        QSKIP("ffprobe and ffmpeg are needed to check recordings");
    encoder::registerMetaTypes();
    QVERIFY(m_dir.isValid());
}

void TestEncoder::stamps_data()
{
    QTest::addColumn<int>("fps");
    QTest::addColumn<QList<int>>("stamps");
    QTest::addColumn<int>("rateChangeAt"); // index of the frame before which the display rate becomes 60; -1 never
    QTest::addColumn<int>("stops");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<double>("duration");

    const auto run = [](int from, int count, int step) {
        QList<int> s;
        for (int i = 0; i < count; ++i)
            s << from + i * step;
        return s;
    };
    QList<int> repeated;
    for (int i = 0; i < 20; ++i)
        repeated << i << i;
    QTest::newRow("230 frames at 60 fps") << 60 << run(0, 230, 1) << -1 << 1 << 0 << 230 / 60.0;
    QTest::newRow("30 frames at 1 fps") << 1 << run(0, 30, 60) << -1 << 1 << 0 << 30.0;
    QTest::newRow("rate change while recording") << 30 << run(1000, 60, 2) << 30 << 1 << 0 << 2.0;
    QTest::newRow("repeated stamps") << 60 << repeated << -1 << 1 << 20 << 20 / 60.0;
    QTest::newRow("stamps going back") << 60 << run(0, 50, 1) + run(40, 30, 1) << -1 << 1 << 10 << 70 / 60.0;
    QTest::newRow("stamps jumping") << 60 << run(0, 30, 1) + run(600, 30, 1) << -1 << 1 << 0 << 630 / 60.0;
    QTest::newRow("stopped twice") << 60 << run(0, 40, 1) << -1 << 2 << 0 << 40 / 60.0;
}

void TestEncoder::stamps()
{
    QFETCH(int, fps);
    QFETCH(QList<int>, stamps);
    QFETCH(int, rateChangeAt);
    QFETCH(int, stops);
    QFETCH(int, dropped);
    QFETCH(double, duration);
    const QString path = file(QString::fromLatin1(QTest::currentDataTag()));
    LogCapture log;
    Rig rig;
    rig.call([&] { rig.enc->fpsChanged(fps); });
    rig.start(path);
    QCOMPARE(rig.enc->state(), encoder::READY);
    for (int i = 0; i < stamps.size(); ++i) {
        if (i == rateChangeAt)
            rig.call([&] { rig.enc->fpsChanged(60); });
        rig.feed(stamps[i], i);
    }
    for (int i = 0; i < stops; ++i)
        rig.call([&] { rig.enc->shutdown(); });
    QCOMPARE(rig.returns[0].load(), int(stamps.size()));
    QCOMPARE(rig.strays.load(), 0);
    QCOMPARE(log.count(QStringLiteral("Recording finished: ")), 1);

    int encoded = 0, lost = 0;
    QVERIFY(finished(log, &encoded, &lost));
    QCOMPARE(lost, dropped);
    QCOMPARE(encoded, int(stamps.size()) - dropped);
    const QMap<QString, QString> facts = MediaCheck::probe(path);
    QCOMPARE(facts.value(QStringLiteral("nb_read_frames")).toInt(), encoded);
    QCOMPARE(facts.value(QStringLiteral("r_frame_rate")), QStringLiteral("%1/1").arg(fps));
    const double measured = facts.value(QStringLiteral("duration")).toDouble();
    QVERIFY2(qAbs(measured - duration) <= 1.0 / fps, qPrintable(QString::number(measured)));
    QCOMPARE(MediaCheck::decodeErrors(path), QString());
}

void TestEncoder::startWhileRecordingFinishesTheFirstFile()
{
    LogCapture log;
    Rig rig;
    rig.start(file(QStringLiteral("first")));
    for (int i = 0; i < 30; ++i)
        rig.feed(i, i);
    rig.start(file(QStringLiteral("second")));
    for (int i = 0; i < 20; ++i)
        rig.feed(100 + i, i);
    rig.call([&] { rig.enc->shutdown(); });
    for (const auto &[name, frames] :
         {std::pair{QStringLiteral("first"), 30}, std::pair{QStringLiteral("second"), 20}}) {
        QCOMPARE(MediaCheck::probe(file(name)).value(QStringLiteral("nb_read_frames")).toInt(), frames);
        QCOMPARE(MediaCheck::decodeErrors(file(name)), QString());
    }
    QCOMPARE(log.count(QStringLiteral("Recording finished: ")), 2);
}

void TestEncoder::slowCodecNeverHoldsTheChain()
{
    // Frames go in as fast as the pool gets them back, far faster than the codec encodes: the ring fills, and
    // the frames that find it full go on unencoded instead of waiting for the codec.
    const QString path = file(QStringLiteral("overload"));
    LogCapture log;
    Rig rig;
    rig.start(path, encoder::H264_RGB_CRF_0);
    constexpr int kFrames = 400;
    qint64 sentAtNs[kPool] = {};
    bool out[kPool] = {};
    int seen[kPool] = {};
    // How long a frame stays in the recorder, and how long the display has to wait for a free frame when all 20
    // are out: the queue ahead of a frame is at most the pool, and each frame in it costs one conversion.
    qint64 longestHoldNs = 0;
    qint64 longestWaitNs = 0;
    qint64 waitingSinceNs = -1;
    int fed = 0;
    QElapsedTimer limit;
    limit.start();
    while ((fed < kFrames || std::any_of(std::begin(out), std::end(out), [](bool b) { return b; })) &&
           limit.elapsed() < 30000) {
        bool progressed = false;
        for (int s = 0; s < kPool; ++s) {
            if (out[s] && rig.returns[s].load() > seen[s]) {
                out[s] = false;
                ++seen[s];
                longestHoldNs = std::max(longestHoldNs, rig.returnedAtNs[s].load() - sentAtNs[s]);
                if (waitingSinceNs >= 0) {
                    longestWaitNs = std::max(longestWaitNs, rig.returnedAtNs[s].load() - waitingSinceNs);
                    waitingSinceNs = -1;
                }
            }
            if (!out[s] && fed < kFrames) {
                Frame_t *f = rig.prepare(s, fed, fed);
                out[s] = true;
                sentAtNs[s] = rig.clock.nsecsElapsed();
                QMetaObject::invokeMethod(
                    rig.enc, [enc = rig.enc, f] { enc->newBuff(f); }, Qt::QueuedConnection);
                ++fed;
                progressed = true;
            }
        }
        if (!progressed && fed < kFrames && waitingSinceNs < 0)
            waitingSinceNs = rig.clock.nsecsElapsed();
        if (!progressed)
            QThread::usleep(200);
    }
    QCOMPARE(fed, kFrames);
    rig.call([&] { rig.enc->shutdown(); });
    int returned = 0;
    for (int s = 0; s < kPool; ++s) {
        QCOMPARE(rig.returns[s].load(), seen[s]);
        returned += seen[s];
    }
    QCOMPARE(returned, kFrames);
    QVERIFY2(longestWaitNs <= 50 * 1000000LL, qPrintable(QStringLiteral("waited %1 ms").arg(longestWaitNs / 1e6)));

    int encoded = 0, dropped = 0;
    QVERIFY(finished(log, &encoded, &dropped));
    qInfo().noquote() << QStringLiteral("overload: %1 encoded, %2 dropped, longest wait %3 ms, longest hold %4 ms")
                             .arg(encoded)
                             .arg(dropped)
                             .arg(longestWaitNs / 1e6)
                             .arg(longestHoldNs / 1e6);
    QCOMPARE(encoded + dropped, kFrames);
    QVERIFY(dropped > 0);
    QCOMPARE(MediaCheck::probe(path).value(QStringLiteral("nb_read_frames")).toInt(), encoded);
    QCOMPARE(MediaCheck::decodeErrors(path), QString());
}

void TestEncoder::captureHandleGuard()
{
    const QString path = file(QStringLiteral("handle"));
    LogCapture log;
    Rig rig;
    QSignalSpy writes(rig.enc, &encoder::deviceWrite);
    QSignalSpy reports(rig.enc, &encoder::recordingReport);
    rig.start(path);
    QCOMPARE(writes.size(), 1);
    QCOMPARE(writes[0][0].value<PylonController::Register>(), PylonController::dc_capture_app_handle);
    const uint handle = writes[0][1].toUInt();
    for (int i = 0; i < 20; ++i)
        rig.feed(i, i);
    // Our own handle coming back, and other registers, change nothing.
    rig.call([&] { rig.enc->deviceRead(PylonController::dc_capture_app_handle, handle); });
    rig.call([&] { rig.enc->deviceRead(PylonController::da_flash_crc, handle + 1); });
    QCOMPARE(rig.enc->state(), encoder::ACTIVE);
    rig.call([&] { rig.enc->deviceRead(PylonController::dc_capture_app_handle, handle + 1); });
    QCOMPARE(rig.enc->state(), encoder::STOPPED);
    QVERIFY(log.contains(QStringLiteral("Device handle does match our capture handle, timebase lost, capture halted")));
    QCOMPARE(reports.last()[1].value<encoder::EncoderState>(), encoder::STOPPED);
    QVERIFY(reports.last()[3].toString().contains(QStringLiteral("capture halted")));
    QCOMPARE(MediaCheck::probe(path).value(QStringLiteral("nb_read_frames")).toInt(), 20);
    // Frames after the stop pass straight through.
    rig.feed(20, 0);
    QCOMPARE(rig.returns[0].load(), 21);
}

void TestEncoder::refusesBadPresetAndRate()
{
    LogCapture log;
    Rig rig;
    rig.call([&] { rig.enc->startWorker(file(QStringLiteral("bad")), encoder::EncoderPreset(6)); });
    QVERIFY(log.contains(QStringLiteral("Invalid Encoder Preset selected")));
    QCOMPARE(rig.enc->state(), encoder::IDLE);
    QVERIFY(!QFile::exists(file(QStringLiteral("bad"))));
    for (int rate : {0, 7, 120, -30})
        rig.call([&] { rig.enc->fpsChanged(rate); });
    QCOMPARE(log.count(QStringLiteral("Encoder refused frame rate")), 4);
    rig.call([&] { rig.enc->fpsChanged(30); });
    QVERIFY(log.contains(QStringLiteral("Encoder informed of 30 FPS, PTS Divisor 2")));
}

QTEST_GUILESS_MAIN(TestEncoder)
#include "tst_Encoder.moc"
