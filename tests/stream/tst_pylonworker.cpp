// The video worker against a real UDP socket on port 1337, fed by a real sender, with
// the worker in its own thread and frames crossing back by queued signals as in the
// client. Runs in a private network namespace.

#include "stream/LineSender.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"

#include "app/StatsClient.h"
#include "stream/PylonWorker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <random>
#include <set>

#ifdef VQ_TEST_PORTABLE_PATH
static constexpr PylonWorker::ReceivePath kPath = PylonWorker::ReceivePath::Portable;
#else
static constexpr PylonWorker::ReceivePath kPath = PylonWorker::ReceivePath::Batched;
#endif

// Collects the worker's frames in the test thread; in pass-through mode it plays the
// whole downstream chain and hands each frame straight back.
class FrameSink : public QObject
{
    Q_OBJECT
public:
    QVector<Frame_t *> held;
    QVector<uint16_t> numbers;
    QVector<qint64> pts;
    int mismatched = 0;
    bool passThrough = false;
    bool verify = false;
    PylonWorker *worker = nullptr;

    static bool matches(const Frame_t *f, uint16_t frameNumber)
    {
        // Runs in the GUI thread at 60 fps: no allocation, or the check itself would hold
        // frames back long enough to starve the pool.
        const uint8_t *p = f->pixels.get();
        for (int line = 0; line < LineSender::kLines; ++line)
            for (int i = 0; i < LineSender::kStride; ++i)
                if (*p++ != LineSender::pattern(frameNumber, uint16_t(line), i))
                    return false;
        return true;
    }

    void giveBack(Frame_t *f)
    {
        QMetaObject::invokeMethod(worker, "buffDispose", Qt::QueuedConnection, Q_ARG(Frame_t *, f));
    }

public slots:
    void onFrame(Frame_t *f)
    {
        numbers << f->frameNumber;
        pts << f->pts;
        if (verify && !matches(f, f->frameNumber))
            ++mismatched;
        if (passThrough)
            giveBack(f);
        else
            held << f;
    }
};

// One worker in its own thread, started as its owner window does.
class WorkerRig
{
public:
    explicit WorkerRig(LogCapture &log) : m_log(log)
    {
        worker = new PylonWorker(kPath);
        worker->moveToThread(&m_thread);
        sink.worker = worker;
        QObject::connect(worker, &PylonWorker::newFrame, &sink, &FrameSink::onFrame);
        QObject::connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
        m_thread.start();
        QMetaObject::invokeMethod(worker, "startWorker", Qt::QueuedConnection);
    }
    ~WorkerRig()
    {
        m_thread.quit();
        m_thread.wait();
    }
    bool started(int mark)
    {
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            const QStringList lines = m_log.lines().mid(mark);
            if (lines.contains(QStringLiteral("Started Network Worker Thread.")))
                return true;
            if (lines.contains(QStringLiteral("Failed to open port\nApp already open?")))
                return false;
            QTest::qWait(5);
        }
        return false;
    }
    bool waitFrames(int n, int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        while (sink.numbers.size() < n && !deadline.hasExpired())
            QTest::qWait(2);
        return sink.numbers.size() >= n;
    }
    // Returns once the worker finished what it was doing, statistics included.
    void barrier()
    {
        QMetaObject::invokeMethod(
            worker, [] {}, Qt::BlockingQueuedConnection);
    }
    void call(const char *slot, bool arg)
    {
        QMetaObject::invokeMethod(worker, slot, Qt::QueuedConnection, Q_ARG(bool, arg));
    }

    PylonWorker *worker;
    FrameSink sink;

private:
    LogCapture &m_log;
    QThread m_thread;
};

// The statistics sampler on a clock the test moves: one tick of its own timer takes every sample due.
class StatsRig
{
public:
    StatsRig()
    {
        StatsClient::instance()->setClock(&clock);
        tick(StatsClient::WindowSamples * StatsClient::SampleMs); // forget earlier traffic
    }
    ~StatsRig() { StatsClient::instance()->setClock(Clock::steady()); }
    void tick(int ms)
    {
        clock.advance(ms);
        QMetaObject::invokeMethod(StatsClient::instance()->findChild<QTimer *>(), "timeout");
    }
    ManualClock clock;
};

class TestPylonWorker : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LogCapture> m_log;
    int m_mark = 0;
    QStringList logSinceMark() const { return m_log->lines().mid(m_mark); }
    int countSinceMark(const QString &text) const
    {
        int n = 0;
        for (const QString &l : logSinceMark())
            n += l.contains(text) ? 1 : 0;
        return n;
    }
    static bool waitLost(uint32_t want, int ms = 3000)
    {
        QDeadlineTimer deadline(ms);
        while (g_framesLostNoBuffer.load() != want && !deadline.hasExpired())
            QTest::qWait(2);
        return g_framesLostNoBuffer.load() == want;
    }

private slots:
    void initTestCase()
    {
        // The garbage case alone logs thousands of "Bad packet" lines: keep the test's
        // own output to warnings and worse; the capture still sees everything.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                fprintf(stderr, "%s\n", qPrintable(msg));
        });
        m_log.reset(new LogCapture);
        StatsClient::instance(); // samples in this (the GUI) thread, as at start-up
    }
    void init() { m_mark = m_log->lines().size(); }

    void assemblesLinesInAnyOrder_data()
    {
        QTest::addColumn<QVector<int>>("order");
        QVector<int> bottomUp;
        for (int l = 270; l >= 0; --l)
            bottomUp << l;
        bottomUp << 271;
        QTest::newRow("top to bottom") << LineSender::ascending();
        QTest::newRow("bottom up, last line last") << bottomUp;
        QTest::newRow("shuffled, seed 1") << LineSender::shuffledThenLast(1);
        QTest::newRow("shuffled, seed 2") << LineSender::shuffledThenLast(2);
    }
    void assemblesLinesInAnyOrder()
    {
        QFETCH(QVector<int>, order);
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        LineSender sender;
        sender.sendFrame(321, order);
        sender.sendFrame(322);
        QVERIFY(rig.waitFrames(2));
        QCOMPARE(rig.sink.numbers, (QVector<uint16_t>{321, 322}));
        QCOMPARE(rig.sink.pts, (QVector<qint64>{321, 322}));
        QVERIFY(rig.sink.held[0] != rig.sink.held[1]);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(rig.sink.held[i]->ownerTag, FrameOwner::VideoWorker);
            QVERIFY2(FrameSink::matches(rig.sink.held[i], uint16_t(321 + i)), "pixels differ from the lines sent");
        }
    }

    // A malformed datagram in place of line 5 of the first frame: that line keeps the
    // buffer's previous content (zeros in a fresh buffer), everything else arrives, and
    // the datagram still counts as a packet.
    void dropsMalformedDatagrams_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QString>("logLine");
        auto line5 = [](int size) {
            QByteArray d(size, char(0xee));
            d[2] = 1, d[3] = 0, d[4] = 5, d[5] = 0;
            return d;
        };
        auto lineN = [](int n) {
            QByteArray d(966, char(0xee));
            d[2] = 1, d[3] = 0, d[4] = char(n & 0xff), d[5] = char(n >> 8);
            return d;
        };
        QTest::newRow("965 bytes") << line5(965) << QString();
        QTest::newRow("967 bytes") << line5(967) << QString();
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("header only") << line5(6) << QString();
        QTest::newRow("1500 bytes") << line5(1500) << QString();
        QTest::newRow("65507 bytes") << line5(65507) << QString();
        QTest::newRow("line 272") << lineN(272) << QStringLiteral("Bad packet 272");
        QTest::newRow("line 65535") << lineN(65535) << QStringLiteral("Bad packet 65535");
    }
    void dropsMalformedDatagrams()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QString, logLine);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString oldCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        rig.call("logPacketData", true);
        LineSender sender;
        for (int line = 0; line < 272; ++line) {
            if (line == 5)
                sender.send(datagram);
            else
                sender.sendLine(1, uint16_t(line));
        }
        const bool got = rig.waitFrames(1);
        QDir::setCurrent(oldCwd);
        QVERIFY(got);
        const Frame_t *f = rig.sink.held[0];
        QVERIFY(std::all_of(f->pixels.get() + 5 * 960, f->pixels.get() + 6 * 960, [](uint8_t b) { return b == 0; }));
        for (int line = 0; line < 272; ++line) {
            if (line == 5)
                continue;
            QVERIFY2(
                memcmp(f->pixels.get() + line * 960, LineSender::expectedLine(1, uint16_t(line)).constData(), 960) == 0,
                qPrintable(QStringLiteral("line %1").arg(line)));
        }
        if (logLine.isEmpty()) {
            QCOMPARE(countSinceMark(QStringLiteral("Bad packet")), 0);
        } else {
            QCOMPARE(countSinceMark(QStringLiteral("Bad packet")), 1);
            QVERIFY(logSinceMark().contains(logLine));
        }
        QFile csv(dir.filePath(QStringLiteral("log.csv")));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromLatin1(csv.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 2);
        const QStringList cols = rows[1].split(QLatin1Char(','));
        QCOMPARE(cols.value(0), QStringLiteral("272")); // 271 lines and the malformed one
    }

    void unwrapsFrameNumbers_data()
    {
        QTest::addColumn<QVector<int>>("numbers");
        QTest::addColumn<QVector<qint64>>("expectedPts");
        QTest::addColumn<QStringList>("unwrapLines");
        QTest::newRow("steady") << QVector<int>{10, 11, 12} << QVector<qint64>{10, 11, 12} << QStringList();
        // Two steps of 32767 are no wrap: that is how a fresh worker reaches 65534.
        QTest::newRow("through the wrap")
            << QVector<int>{32767, 65534, 65535, 0, 1} << QVector<qint64>{32767, 65534, 65535, 65536, 65537}
            << QStringList{"PTS Unwrap, frameNumber: 0, frameNumberLast: 65535 pts: 65536, delta: -65535"};
        QTest::newRow("first frame 40000")
            << QVector<int>{40000, 40001} << QVector<qint64>{105536, 105537}
            << QStringList{"PTS Unwrap, frameNumber: 40000, frameNumberLast: 0 pts: 105536, delta: 40000"};
        QTest::newRow("first frame 32767") << QVector<int>{32767} << QVector<qint64>{32767} << QStringList();
        QTest::newRow("first frame 32768")
            << QVector<int>{32768} << QVector<qint64>{98304}
            << QStringList{"PTS Unwrap, frameNumber: 32768, frameNumberLast: 0 pts: 98304, delta: 32768"};
        QTest::newRow("first frame 65535, then 0")
            << QVector<int>{65535, 0} << QVector<qint64>{131071, 131072}
            << QStringList{"PTS Unwrap, frameNumber: 65535, frameNumberLast: 0 pts: 131071, delta: 65535",
                           "PTS Unwrap, frameNumber: 0, frameNumberLast: 65535 pts: 131072, delta: -65535"};
    }
    void unwrapsFrameNumbers()
    {
        QFETCH(QVector<int>, numbers);
        QFETCH(QVector<qint64>, expectedPts);
        QFETCH(QStringList, unwrapLines);
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        rig.sink.passThrough = true;
        LineSender sender;
        for (int n : numbers) {
            sender.sendFrame(uint16_t(n));
            QTest::qWait(16);
        }
        QVERIFY(rig.waitFrames(numbers.size()));
        QCOMPARE(rig.sink.pts, expectedPts);
        QStringList got;
        for (const QString &l : logSinceMark())
            if (l.startsWith(QLatin1String("PTS Unwrap")))
                got << l;
        QCOMPARE(got, unwrapLines);
    }

    // All 20 frames held downstream: completed frames are counted lost and nothing is
    // emitted. What comes back decides whether emission resumes: only the worker's own
    // frames, once each, re-enter the pool, at the next frame boundary.
    void poolExhaustionAndDisposal_data()
    {
        QTest::addColumn<QString>("giveBack");
        QTest::addColumn<QVector<bool>>("emittedAfter"); // for the next three frames
        QTest::newRow("one own frame") << "own" << QVector<bool>{false, true, false};
        QTest::newRow("own frame twice") << "own twice" << QVector<bool>{false, true, false};
        QTest::newRow("decompressor's frame") << "foreign" << QVector<bool>{false, false, false};
        QTest::newRow("null") << "null" << QVector<bool>{false, false, false};
        QTest::newRow("own frame with foreign tag") << "retagged" << QVector<bool>{false, false, false};
    }
    void poolExhaustionAndDisposal()
    {
        QFETCH(QString, giveBack);
        QFETCH(QVector<bool>, emittedAfter);
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        LineSender sender;
        uint16_t fn = 1000;
        for (int i = 0; i < PylonWorker::kPoolFrames; ++i) {
            sender.sendFrame(fn++);
            QVERIFY(rig.waitFrames(i + 1));
        }
        const std::set<Frame_t *> distinct(rig.sink.held.begin(), rig.sink.held.end());
        QCOMPARE(int(distinct.size()), PylonWorker::kPoolFrames);

        uint32_t lost = g_framesLostNoBuffer.load();
        for (int i = 0; i < 3; ++i) {
            sender.sendFrame(fn++);
            QVERIFY(waitLost(++lost));
        }
        QCOMPARE(rig.sink.numbers.size(), PylonWorker::kPoolFrames);

        Frame_t foreign;
        foreign.ownerTag = FrameOwner::Decompressor;
        Frame_t *first = rig.sink.held[0];
        if (giveBack == QLatin1String("own")) {
            rig.sink.giveBack(first);
        } else if (giveBack == QLatin1String("own twice")) {
            rig.sink.giveBack(first);
            rig.sink.giveBack(first);
        } else if (giveBack == QLatin1String("foreign")) {
            rig.sink.giveBack(&foreign);
        } else if (giveBack == QLatin1String("null")) {
            rig.sink.giveBack(nullptr);
        } else {
            first->ownerTag = FrameOwner::Decompressor;
            rig.sink.giveBack(first);
        }
        int emitted = PylonWorker::kPoolFrames;
        for (bool expectEmit : emittedAfter) {
            const uint16_t n = fn++;
            sender.sendFrame(n);
            if (expectEmit) {
                QVERIFY(rig.waitFrames(++emitted));
                QCOMPARE(rig.sink.held.last(), first);
                QCOMPARE(rig.sink.numbers.last(), n);
                QVERIFY(FrameSink::matches(first, n));
            } else {
                QVERIFY(waitLost(++lost));
            }
        }
        QTest::qWait(20);
        QCOMPARE(rig.sink.numbers.size(), emitted);
        QCOMPARE(g_framesLostNoBuffer.load(), lost);
        QCOMPARE(foreign.pts, qint64(0)); // never written to
    }

    void csvHasOneLinePerFrame()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString oldCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        rig.sink.passThrough = true;
        LineSender sender;
        sender.sendFrame(6); // before logging is on: no line
        QVERIFY(rig.waitFrames(1));
        rig.call("logPacketData", true);
        for (uint16_t n = 7; n < 12; ++n) {
            sender.sendFrame(n);
            QTest::qWait(16);
        }
        QVERIFY(rig.waitFrames(6));
        rig.call("logPacketData", false);
        sender.sendFrame(12);
        QVERIFY(rig.waitFrames(7));
        rig.call("logPacketData", true);
        sender.sendFrame(13);
        QVERIFY(rig.waitFrames(8));
        QDir::setCurrent(oldCwd);

        QFile csv(dir.filePath(QStringLiteral("log.csv")));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromLatin1(csv.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(rows.value(0), QStringLiteral("Packet,FrameNumber,PTS,Time,LineNumber"));
        QCOMPARE(rows.size(), 1 + 6 + 1); // header, six frames, empty after the last break
        QCOMPARE(rows.last(), QString());
        const QVector<int> frames{7, 8, 9, 10, 11, 13};
        qint64 lastTime = -1;
        for (int i = 0; i < frames.size(); ++i) {
            const QStringList cols = rows[i + 1].split(QLatin1Char(','));
            QCOMPARE(cols.size(), 5);
            const int frameIndex = frames[i] - 6 + 1; // frames read so far, 272 datagrams each
            QCOMPARE(cols[0].toInt(), frameIndex * 272);
            QCOMPARE(cols[1].toInt(), frames[i]);
            QCOMPARE(cols[2].toInt(), frames[i]);
            QVERIFY(cols[3].toLongLong() > lastTime);
            lastTime = cols[3].toLongLong();
            QCOMPARE(cols[4], QStringLiteral("271"));
        }
        QCOMPARE(countSinceMark(QStringLiteral("Debug: High speed network metadata logging.")), 1);
    }

    // A CSV file that cannot be created costs nothing but its lines, and the worker
    // tries again at each frame until it can.
    void csvRetriesUntilTheFileOpens()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("log.csv"))); // in the way of the file
        const QString oldCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        rig.sink.passThrough = true;
        rig.call("logPacketData", true);
        LineSender sender;
        sender.sendFrame(1);
        sender.sendFrame(2);
        QVERIFY(rig.waitFrames(2));
        QVERIFY(QDir(dir.path()).rmdir(QStringLiteral("log.csv")));
        sender.sendFrame(3);
        QVERIFY(rig.waitFrames(3));
        QDir::setCurrent(oldCwd);
        QFile csv(dir.filePath(QStringLiteral("log.csv")));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromLatin1(csv.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 2);
        QVERIFY(rows[1].startsWith(QLatin1String("816,3,3,")));
        QCOMPARE(countSinceMark(QStringLiteral("Debug: High speed network metadata logging.")), 1);
    }

    // Random lengths and contents, including valid-length datagrams with random frame
    // and line numbers: the worker keeps running, only ever hands out its own frames,
    // and a clean frame afterwards arrives intact.
    void survivesGarbage()
    {
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        rig.sink.passThrough = true;
        LineSender sender;
        std::mt19937 rng(20261207);
        std::uniform_int_distribution<int> len(0, 1600);
        std::uniform_int_distribution<int> byte(0, 255);
        QByteArray d;
        int badLines = 0;
        for (int i = 0; i < 20000; ++i) {
            const bool lineSized = i % 4 == 0;
            d.resize(lineSized ? 966 : len(rng));
            for (char &c : d)
                c = char(byte(rng));
            if (lineSized && (uint8_t(d[4]) | (uint8_t(d[5]) << 8)) > 271)
                ++badLines;
            sender.send(d);
            if (i % 200 == 0)
                QTest::qWait(1);
        }
        QTest::qWait(200);
        const int before = rig.sink.numbers.size();
        sender.sendFrame(500);
        sender.sendFrame(501);
        QVERIFY(rig.waitFrames(before + 2));
        QVERIFY(badLines > 1000);
        QVERIFY(countSinceMark(QStringLiteral("Bad packet ")) > badLines / 2); // most got through the socket
        QCOMPARE(rig.sink.numbers.last(), uint16_t(501));
        rig.sink.passThrough = false;
        sender.sendFrame(502);
        QVERIFY(rig.waitFrames(before + 3));
        QVERIFY(FrameSink::matches(rig.sink.held.last(), 502));
        QCOMPARE(rig.sink.held.last()->ownerTag, FrameOwner::VideoWorker);
    }

    // The unit's real pace: 272-datagram bursts at 60 frames per second, each frame
    // handed back as the chain does. Every frame arrives complete, none is lost, and
    // the statistics settle at 60 fps.
    void sixtyFramesPerSecond()
    {
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        rig.sink.passThrough = true;
        rig.sink.verify = true;
        StatsRig statsRig;
        QSignalSpy stats(StatsClient::instance(), &StatsClient::newStats);
        const uint32_t lostBefore = g_framesLostNoBuffer.load();
        LineSender sender;
        const int frames = 90;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < frames; ++i) {
            while (clock.nsecsElapsed() < qint64(i) * 1000000000 / 60)
                QTest::qWait(1);
            sender.sendFrame(uint16_t(2000 + i));
            // Every six frames the statistics clock moves 100 ms, once the worker has counted them.
            if ((i + 1) % 6 == 0) {
                QVERIFY(rig.waitFrames(i + 1));
                rig.barrier();
                statsRig.tick(StatsClient::SampleMs);
            }
        }
        QVERIFY(rig.waitFrames(frames));
        QCOMPARE(rig.sink.mismatched, 0);
        for (int i = 0; i < frames; ++i)
            QCOMPARE(rig.sink.numbers[i], uint16_t(2000 + i));
        QCOMPARE(g_framesLostNoBuffer.load(), lostBefore);
        // A sample per 100 ms, and the last second of them at 60 fps, 994 bytes per line.
        QCOMPARE(stats.size(), frames / 6);
        QCOMPARE(stats.last().at(2).toDouble(), 60.0);
        QCOMPARE(stats.last().at(0).toDouble(), 60.0 * 272 * 994);
    }

    // Every sample is a rate (count x 10) that stays in the one-second window for ten
    // samples, so the sum of the published averages over a quiet tail, divided by ten,
    // is the count itself: 994 bytes for each datagram of line length, malformed or not.
    void statisticsCountLineSizedDatagramsOnly()
    {
        WorkerRig rig(*m_log);
        QVERIFY(rig.started(m_mark));
        rig.sink.passThrough = true;
        StatsRig statsRig;
        QSignalSpy stats(StatsClient::instance(), &StatsClient::newStats);
        LineSender sender;
        QByteArray bad(966, '\0');
        bad[4] = char(0x10), bad[5] = char(0x01); // line 272
        sender.send(bad);
        sender.send(bad);
        sender.send(QByteArray(965, '\0'));
        sender.send(QByteArray(967, '\0'));
        sender.send(QByteArray(10, '\0'));
        sender.sendFrame(42); // its last line comes last: everything before it has been read
        QVERIFY(rig.waitFrames(1));
        rig.barrier();
        statsRig.tick(StatsClient::WindowSamples * StatsClient::SampleMs);
        QCOMPARE(stats.size(), StatsClient::WindowSamples);
        double bytes = 0, frames = 0;
        for (const QList<QVariant> &s : stats) {
            bytes += s.at(0).toDouble();
            frames += s.at(2).toDouble();
        }
        QCOMPARE(qRound(bytes / 10), (272 + 2) * 994);
        QCOMPARE(qRound(frames / 10), 1);
    }

    void reportsReceiveBufferAndBusyPort()
    {
        {
            WorkerRig rig(*m_log);
            QVERIFY(rig.started(m_mark));
            const QStringList sized = QStringList(logSinceMark()).filter(QStringLiteral("UDP receive buffer: "));
            QCOMPARE(sized.size(), 1);
            QVERIFY2(sized[0].endsWith(QLatin1String(" bytes (asked for 8388608)")), qPrintable(sized[0]));
            const int granted = sized[0].section(QLatin1Char(' '), 3, 3).toInt();
            QVERIFY(granted > 0);
            // Warned at most once per process, and only for a buffer short of two frames.
            const int warnings = QStringList(m_log->lines()).filter(QStringLiteral("net.core.rmem_max")).size();
            QCOMPARE(warnings, granted < 2 * 272 * 966 ? 1 : 0);
        }
        m_mark = m_log->lines().size();
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, PylonWorker::kPort));
        WorkerRig rig(*m_log);
        QVERIFY(!rig.started(m_mark));
        QVERIFY(logSinceMark().contains(QStringLiteral("Failed to open port\nApp already open?")));
        QVERIFY(!logSinceMark().contains(QStringLiteral("Started Network Worker Thread.")));
    }
};

QTEST_MAIN(TestPylonWorker)
#include "tst_pylonworker.moc"
