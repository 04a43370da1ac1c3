// The application shell as a user's machine sees it: the log line format, the data
// folder and log file of real start-ups in child processes, crash reports, the frame
// pool contract and the statistics sampling.

#include "app/FramePool.h"
#include "app/Logging.h"
#include "app/StatsClient.h"
#include "support/ManualClock.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <thread>
#include <map>

namespace {
const QRegularExpression kLine(QStringLiteral(
    "^\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}\\.\\d{2}\\.\\d{2}\\.\\d{3} \\[(DEBUG|INFO |WARN |CRITI|FATAL)\\] (.*)$"));

struct ProbeRun {
    QString output; // standard output and error, merged
    QProcess::ExitStatus status = QProcess::NormalExit;
    int exitCode = -1;
};

// Runs the start-up steps in a fresh process whose generic data location is dataHome.
ProbeRun runProbe(const QString &dataHome, const QStringList &args, const QString &workingDir = QString())
{
    QProcess p;
    if (!workingDir.isEmpty())
        p.setWorkingDirectory(workingDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(SHELLPROBE_PATH), args);
    ProbeRun r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
    }
    r.output = QString::fromLatin1(p.readAll());
    r.status = p.exitStatus();
    r.exitCode = p.exitCode();
    return r;
}

QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The statistics run on a clock the test moves, and each tick is the sampler's own timer firing when the test
// says so: every sample expected is due at that tick, none comes in between.
void statsTick()
{
    QTimer *timer = StatsClient::instance()->findChild<QTimer *>();
    QVERIFY(timer && timer->isActive());
    QCOMPARE(timer->interval(), StatsClient::SampleMs);
    QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
}

// A window that has forgotten whatever an earlier case fed.
void statsCleanWindow(ManualClock &clock)
{
    StatsClient::instance()->setClock(&clock);
    clock.advance(StatsClient::WindowSamples * StatsClient::SampleMs);
    statsTick();
}

QString probeFolder(const QString &dataHome)
{
    return dataHome + QStringLiteral("/shellprobe/");
}
} // namespace

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void formatsEveryLevel_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QString ts = QStringLiteral("2026.01.02 03.04.05.006");
        QTest::newRow("debug") << int(QtDebugMsg) << "hello" << ts + " [DEBUG] hello";
        QTest::newRow("info") << int(QtInfoMsg) << "hello" << ts + " [INFO ] hello";
        QTest::newRow("warning") << int(QtWarningMsg) << "hello" << ts + " [WARN ] hello";
        QTest::newRow("critical") << int(QtCriticalMsg) << "hello" << ts + " [CRITI] hello";
        QTest::newRow("fatal") << int(QtFatalMsg) << "hello" << ts + " [FATAL] hello";
        // Placeholders in the text are the text, not a second substitution.
        QTest::newRow("text with placeholders") << int(QtInfoMsg) << "%1 %2 %3" << ts + " [INFO ] %1 %2 %3";
        QTest::newRow("empty text") << int(QtWarningMsg) << "" << ts + " [WARN ] ";
    }
    void formatsEveryLevel()
    {
        QFETCH(int, type);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const QDateTime when(QDate(2026, 1, 2), QTime(3, 4, 5, 6));
        QCOMPARE(Logging::formatLine(QtMsgType(type), text, when), expected);
    }

    // Two start-ups on a clean account: the first makes the data folder and says so,
    // the second does not; each run's log file holds that run's lines only, in the
    // line format, while the lines from before the handler reach the console only.
    void startUpTwice_data()
    {
        QTest::addColumn<QString>("dataHome"); // relative to a scratch folder
        QTest::newRow("data location exists") << "";
        // A fresh account has no ~/.local/share yet: the folder goes there all the same,
        // not into a system-wide data folder that happens to exist.
        QTest::newRow("data location missing") << "not/yet/there";
    }
    void startUpTwice()
    {
        QFETCH(QString, dataHome);
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString homePath = dataHome.isEmpty() ? scratch.path() : scratch.filePath(dataHome);
        const QString folder = probeFolder(homePath);
        const QString log = folder + QStringLiteral("log.txt");

        const ProbeRun first = runProbe(homePath, {QStringLiteral("levels"), QStringLiteral("first-run-token")});
        QCOMPARE(first.status, QProcess::NormalExit);
        QVERIFY2(first.output.contains(QStringLiteral("Making app path ") + folder), qPrintable(first.output));
        QVERIFY(first.output.contains(QStringLiteral("Logging to ") + log));
        const QStringList firstLog = readLines(log);
        QVERIFY(firstLog.filter(QStringLiteral("first-run-token")).size() == 1);

        const ProbeRun second = runProbe(homePath, {QStringLiteral("levels"), QStringLiteral("second-run-token")});
        QCOMPARE(second.status, QProcess::NormalExit);
        QVERIFY2(!second.output.contains(QStringLiteral("Making app path ")), qPrintable(second.output));
        const QStringList lines = readLines(log);
        QVERIFY(!lines.join(QLatin1Char('\n')).contains(QStringLiteral("first-run-token")));

        // What the file holds, in order, after the handler took over.
        const QStringList expectTail{QStringLiteral("[INFO ] Crashpad Start"),
                                     QStringLiteral("[INFO ] Starting crash handler."),
                                     QStringLiteral("[INFO ] Crashpad start: true"),
                                     QStringLiteral("[DEBUG] probe debug"),
                                     QStringLiteral("[INFO ] probe info second-run-token"),
                                     QStringLiteral("[WARN ] probe warning"),
                                     QStringLiteral("[CRITI] probe critical")};
        QCOMPARE(lines.size(), expectTail.size());
        for (int i = 0; i < lines.size(); ++i) {
            QVERIFY2(kLine.match(lines[i]).hasMatch(), qPrintable(lines[i]));
            QCOMPARE(lines[i].mid(24), expectTail[i]);
            // The console carries the same line.
            QVERIFY2(second.output.contains(lines[i]), qPrintable(lines[i]));
        }
        QVERIFY(!lines.join(QLatin1Char('\n')).contains(QStringLiteral("Logging to ")));
    }

    // The same promise from the real client: a first run makes the data folder, the
    // second does not, and the second run's log holds one start-up only.
    void clientStartsTwice()
    {
        const QString app = qEnvironmentVariable("VQ6020_APP");
        if (app.isEmpty() || !QFileInfo(app).isExecutable())
            QSKIP("the client is not built");
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString dataHome = scratch.filePath(QStringLiteral("data"));
        const QString folder = dataHome + QStringLiteral("/VQ6020/");
        QStringList outputs;
        for (int run = 0; run < 2; ++run) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.filePath(QStringLiteral("config")));
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            p.setProcessEnvironment(env);
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(app, QStringList());
            QVERIFY(p.waitForStarted());
            QString out;
            QElapsedTimer clock;
            clock.start();
            while (!out.contains(QStringLiteral("Crashpad start: true")) && clock.elapsed() < 30000 &&
                   p.state() == QProcess::Running) {
                p.waitForReadyRead(100);
                out += QString::fromLatin1(p.readAll());
            }
            p.terminate();
            if (!p.waitForFinished(5000)) {
                p.kill();
                p.waitForFinished();
            }
            out += QString::fromLatin1(p.readAll());
            QVERIFY2(out.contains(QStringLiteral("Crashpad start: true")), qPrintable(out));
            outputs << out;
        }
        QVERIFY2(outputs[0].contains(QStringLiteral("Making app path ") + folder), qPrintable(outputs[0]));
        QVERIFY2(!outputs[1].contains(QStringLiteral("Making app path ")), qPrintable(outputs[1]));
        const QStringList log = readLines(folder + QStringLiteral("log.txt"));
        QCOMPARE(log.filter(QStringLiteral("[INFO ] Crashpad Start")).size(), 1);
        for (const QString &l : log)
            QVERIFY2(kLine.match(l).hasMatch(), qPrintable(l));
    }

    void wholeLinesFromTwoThreads()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const int perThread = 4000;
        const ProbeRun run = runProbe(home.path(), {QStringLiteral("threads"), QString::number(perThread)});
        QCOMPARE(run.status, QProcess::NormalExit);
        const QStringList lines = readLines(probeFolder(home.path()) + QStringLiteral("log.txt"));
        const QRegularExpression body(QStringLiteral("^thread ([AB]) seq (\\d+) x{180}$"));
        std::map<QString, int> next{{QStringLiteral("A"), 0}, {QStringLiteral("B"), 0}};
        int threaded = 0;
        for (const QString &l : lines) {
            const QRegularExpressionMatch m = kLine.match(l);
            QVERIFY2(m.hasMatch(), qPrintable(l));
            if (m.captured(1) != QLatin1String("WARN "))
                continue;
            const QRegularExpressionMatch b = body.match(m.captured(2));
            QVERIFY2(b.hasMatch(), qPrintable(l));
            // Each thread's lines appear once each, in its own order.
            QCOMPARE(b.captured(2).toInt(), next[b.captured(1)]++);
            ++threaded;
        }
        QCOMPARE(threaded, 2 * perThread);
    }

    // Logging goes on, on the console only, when there is nowhere to write a file; the console says why, and no log
    // file is offered for showing (a bare "log.txt" would be one in whatever folder the program started from).
    void consoleOnlyWithoutLogFile_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<bool>("crashHandlerArmed");
        QTest::addColumn<QString>("warning"); // %1: the data folder
        QTest::newRow("data location is a file")
            << "data-home-is-file" << false
            << "[WARN ] Cannot create the data folder %1; no log file, logging to standard output only";
        QTest::newRow("log.txt is a folder")
            << "log-is-folder" << true << "[WARN ] Cannot open the log file %1log.txt; logging to standard output only";
    }
    void consoleOnlyWithoutLogFile()
    {
        QFETCH(QString, blocker);
        QFETCH(bool, crashHandlerArmed);
        QFETCH(QString, warning);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QString dataHome = home.path();
        if (blocker == QLatin1String("data-home-is-file")) {
            QFile f(home.filePath(QStringLiteral("blocked")));
            QVERIFY(f.open(QIODevice::WriteOnly));
            dataHome = f.fileName() + QStringLiteral("/data");
        } else {
            QVERIFY(QDir().mkpath(probeFolder(dataHome) + QStringLiteral("log.txt")));
        }
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("cwd"))));
        const ProbeRun run = runProbe(dataHome, {QStringLiteral("levels"), QStringLiteral("token")},
                                      home.filePath(QStringLiteral("cwd")));
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.output.contains(QStringLiteral("log file to show: []")), qPrintable(run.output));
        bool sawWarning = false;
        bool sawReason = false;
        for (const QString &l : run.output.split(QLatin1Char('\n'))) {
            if (l.endsWith(QLatin1String("[WARN ] probe warning")))
                sawWarning = kLine.match(l).hasMatch();
            if (l.endsWith(warning.arg(probeFolder(dataHome))))
                sawReason = kLine.match(l).hasMatch();
        }
        QVERIFY2(sawWarning, qPrintable(run.output));
        QVERIFY2(sawReason, qPrintable(run.output));
        QVERIFY(run.output.contains(crashHandlerArmed ? QStringLiteral("Crashpad start: true")
                                                      : QStringLiteral("Crashpad start: false")));
        QVERIFY(QFileInfo(probeFolder(dataHome) + QStringLiteral("log.txt")).isFile() == false);
        QCOMPARE(QDir(home.filePath(QStringLiteral("cwd"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
    }

    // Something that floods the log cannot fill the disk: the file stops at its limit with one line saying so, and
    // standard output still gets every line.
    void logFileStopsAtLimit_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("lines");
        QTest::newRow("flood past 64 KiB") << 65536 << 2000;
        QTest::newRow("limit reached during start-up") << 200 << 10;
        QTest::newRow("flood within the limit") << 1048576 << 2000;
    }
    void logFileStopsAtLimit()
    {
        QFETCH(int, limit);
        QFETCH(int, lines);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const ProbeRun run =
            runProbe(home.path(), {QStringLiteral("flood"), QString::number(limit), QString::number(lines)});
        QCOMPARE(run.status, QProcess::NormalExit);
        const QString logPath = probeFolder(home.path()) + QStringLiteral("log.txt");
        const QStringList file = readLines(logPath);
        const qint64 size = QFileInfo(logPath).size();
        const QString notice =
            QStringLiteral("[WARN ] Log file reached %1 bytes; further messages go to standard output only").arg(limit);
        QVERIFY(!file.isEmpty());
        for (const QString &l : file)
            QVERIFY2(kLine.match(l).hasMatch(), qPrintable(l));
        const QStringList floodInFile = file.filter(QStringLiteral("] flood "));
        for (int i = 0; i < floodInFile.size(); ++i)
            QVERIFY2(floodInFile[i].contains(QStringLiteral("flood %1 ").arg(i, 6, 10, QLatin1Char('0'))),
                     qPrintable(floodInFile[i]));
        const bool full = size > limit;
        if (full) {
            QCOMPARE(file.filter(QStringLiteral("Log file reached")).size(), 1);
            QVERIFY2(file.last().endsWith(notice), qPrintable(file.last()));
            // Everything before the notice fits the limit, and the notice is the only line past it.
            QVERIFY2(size - (file.last().toUtf8().size() + 1) <= limit, qPrintable(QString::number(size)));
            QVERIFY(floodInFile.size() < lines);
            QCOMPARE(run.output.count(notice), 1);
        } else {
            QVERIFY(limit >= 1048576);
            QCOMPARE(floodInFile.size(), lines);
            QVERIFY(!run.output.contains(QStringLiteral("Log file reached")));
        }
        // The console has every line, the last one included.
        int floodOnConsole = 0;
        for (const QString &l : run.output.split(QLatin1Char('\n')))
            floodOnConsole += l.contains(QStringLiteral("[INFO ] flood ")) ? 1 : 0;
        QCOMPARE(floodOnConsole, lines);
    }

    void writesCrashReport_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("signalLine");
        QTest::newRow("null pointer") << "segv"
                                      << "signal: 11 SIGSEGV";
        QTest::newRow("abort") << "abort"
                               << "signal: 6 SIGABRT";
        QTest::newRow("fatal message") << "fatal"
                                       << "signal: 6 SIGABRT";
        QTest::newRow("arithmetic") << "fpe"
                                    << "signal: 8 SIGFPE";
    }
    void writesCrashReport()
    {
        QFETCH(QString, how);
        QFETCH(QString, signalLine);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const ProbeRun run = runProbe(home.path(), {QStringLiteral("crash"), how});
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(run.status, QProcess::CrashExit); // the signal still ends the process
        const QDir crashes(probeFolder(home.path()) + QStringLiteral("crashes"));
        const QStringList reports = crashes.entryList(QDir::Files);
        QCOMPARE(reports.size(), 1);
        const QStringList lines = readLines(crashes.filePath(reports[0]));
        QVERIFY(lines.size() > 6);
        QCOMPARE(lines[0], QStringLiteral("label: vq6020"));
        QCOMPARE(lines[1], QStringLiteral("version: 1.0.31"));
        QVERIFY(lines[2].startsWith(QLatin1String("time: ")));
        const qint64 t = lines[2].mid(6).toLongLong();
        QVERIFY(t >= before && t <= after);
        QCOMPARE(lines[3], signalLine);
        QCOMPARE(lines[4], QStringLiteral("backtrace:"));
        QVERIFY(lines.mid(5).filter(QStringLiteral("shellprobe")).size() >= 1);
        if (how == QLatin1String("fatal")) {
            const QStringList log = readLines(probeFolder(home.path()) + QStringLiteral("log.txt"));
            QVERIFY(!log.isEmpty() && log.last().endsWith(QLatin1String(" [FATAL] probe fatal")));
        }
    }

    void framePoolContract_data()
    {
        QTest::addColumn<QStringList>("returns"); // what comes back, in order, after all 4 are lent
        QTest::addColumn<QVector<bool>>("accepted");
        QTest::addColumn<QVector<int>>("retaken"); // indices of frames taken again, in order
        QTest::newRow("in order") << QStringList{"0", "1", "2"} << QVector<bool>{true, true, true}
                                  << QVector<int>{0, 1, 2};
        QTest::newRow("out of order is first come first served")
            << QStringList{"3", "0", "2"} << QVector<bool>{true, true, true} << QVector<int>{3, 0, 2};
        QTest::newRow("twice") << QStringList{"1", "1", "2"} << QVector<bool>{true, false, true} << QVector<int>{1, 2};
        QTest::newRow("null") << QStringList{"null", "2"} << QVector<bool>{false, true} << QVector<int>{2};
        QTest::newRow("other owner's tag")
            << QStringList{"foreign", "0"} << QVector<bool>{false, true} << QVector<int>{0};
        QTest::newRow("same tag, other pool")
            << QStringList{"stranger", "0"} << QVector<bool>{false, true} << QVector<int>{0};
        QTest::newRow("own frame retagged") << QStringList{"retagged 1"} << QVector<bool>{false} << QVector<int>{};
    }
    void framePoolContract()
    {
        QFETCH(QStringList, returns);
        QFETCH(QVector<bool>, accepted);
        QFETCH(QVector<int>, retaken);
        FramePool pool(4, FrameOwner::VideoWorker);
        FramePool other(1, FrameOwner::VideoWorker);
        Frame_t foreign;
        foreign.ownerTag = FrameOwner::Decompressor;
        QVector<Frame_t *> lent;
        while (Frame_t *f = pool.take()) {
            QCOMPARE(f->ownerTag, FrameOwner::VideoWorker);
            QCOMPARE(f->pts, qint64(0));
            QVERIFY(std::all_of(f->pixels.get(), f->pixels.get() + Frame_t::Bytes, [](uint8_t b) { return b == 0; }));
            lent << f;
        }
        QCOMPARE(lent.size(), 4);
        QCOMPARE(pool.freeCount(), 0);
        for (int i = 0; i < returns.size(); ++i) {
            const QString &r = returns[i];
            Frame_t *f = nullptr;
            if (r == QLatin1String("foreign"))
                f = &foreign;
            else if (r == QLatin1String("stranger"))
                f = other.take();
            else if (r.startsWith(QLatin1String("retagged"))) {
                f = lent[r.section(QLatin1Char(' '), 1).toInt()];
                f->ownerTag = FrameOwner::Decompressor;
            } else if (r != QLatin1String("null"))
                f = lent[r.toInt()];
            QCOMPARE(pool.giveBack(f), accepted[i]);
        }
        QCOMPARE(pool.freeCount(), retaken.size());
        for (int idx : retaken)
            QCOMPARE(pool.take(), lent[idx]);
        QCOMPARE(pool.take(), nullptr);
    }

    // A stalled stream that flushes a full receive buffer at once can push the one-second
    // average past what the overlay's integer holds; it saturates instead of wrapping.
    void statsOverlayIntegerSaturates()
    {
        ManualClock clock;
        statsCleanWindow(clock);
        QSignalSpy spy(StatsClient::instance(), &StatsClient::newStats);
        StatsClient::bytesReceived(30000000);
        clock.advance(StatsClient::SampleMs);
        statsTick();
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.last().at(0).toDouble(), 30000000.0); // one sample of 3e8/s over ten
        QCOMPARE(StatsClient::networkBytesPerSecondX100(), std::numeric_limits<int>::max());
        StatsClient::instance()->setClock(Clock::steady());
    }

    // One sample per 100 ms of the clock, however the ticks fall: a late tick catches up, a tick with
    // less than 100 ms behind it takes none.
    void statsSampleEvery100ms_data()
    {
        QTest::addColumn<QList<int>>("advances"); // ms moved before each tick
        QTest::addColumn<QList<int>>("samples");  // samples published at that tick
        QTest::newRow("on time") << QList<int>{100, 100, 100} << QList<int>{1, 1, 1};
        QTest::newRow("one late tick") << QList<int>{100, 350, 100} << QList<int>{1, 3, 1};
        QTest::newRow("remainders carry") << QList<int>{50, 80, 70, 99, 1} << QList<int>{0, 1, 1, 0, 1};
        QTest::newRow("a long stall is one window") << QList<int>{3600000, 100} << QList<int>{10, 1};
    }
    void statsSampleEvery100ms()
    {
        QFETCH(QList<int>, advances);
        QFETCH(QList<int>, samples);
        ManualClock clock;
        statsCleanWindow(clock);
        StatsClient *stats = StatsClient::instance();
        QSignalSpy spy(stats, &StatsClient::newStats);
        for (int i = 0; i < advances.size(); ++i) {
            spy.clear();
            clock.advance(advances[i]);
            statsTick();
            QCOMPARE(spy.size(), samples[i]);
            for (const QList<QVariant> &s : spy)
                QCOMPARE(s, (QList<QVariant>{0.0, 0.0, 0.0}));
        }
        QCOMPARE(StatsClient::framesPerSecondX100(), 0);
        QCOMPARE(StatsClient::networkBytesPerSecondX100(), 0);
        stats->setClock(Clock::steady());
    }

    // 60 frames a second of 272 lines, from a thread other than the sampler's as in the
    // client: after one second the averages are the rates.
    void statsSettleAtSixtyFramesPerSecond()
    {
        ManualClock clock;
        statsCleanWindow(clock);
        StatsClient *stats = StatsClient::instance();
        QSignalSpy spy(stats, &StatsClient::newStats);
        for (int period = 0; period < StatsClient::WindowSamples; ++period) {
            std::thread feeder([] {
                for (int frame = 0; frame < 6; ++frame) {
                    StatsClient::bytesReceived(272 * 994);
                    StatsClient::compressedBytesOut(20000);
                    StatsClient::frameReceived();
                }
            });
            feeder.join();
            clock.advance(StatsClient::SampleMs);
            statsTick();
        }
        QCOMPARE(spy.size(), StatsClient::WindowSamples);
        QCOMPARE(StatsClient::framesPerSecondX100(), 6000);
        QCOMPARE(StatsClient::networkBytesPerSecondX100(), 60 * 272 * 994 * 100);
        QCOMPARE(spy.last(), (QList<QVariant>{60.0 * 272 * 994, 60.0 * 20000, 60.0}));
        stats->setClock(Clock::steady());
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
