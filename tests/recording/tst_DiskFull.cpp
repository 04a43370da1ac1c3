// A disk that fills up while recording or while a still is written: a small tmpfs in a private mount namespace of
// the test's own (the test starts itself again inside one).
#include "MediaCheck.h"
#include "SimFrames.h"

#include "app/SettingsKeys.h"
#include "recording/FrameToPNG.h"
#include "recording/SaveVideo.h"
#include "recording/encoder.h"
#include "support/LogCapture.h"

#include <QApplication>
#include <QComboBox>
#include <QScopeGuard>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
constexpr char kSmallFs[] = "VQ6020_SMALLFS";
}

class TestDiskFull : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordingStopsWithTheReason();
    void stillOnAFullDiskLeavesNoFile();

private:
    QString m_full;
};

void TestDiskFull::initTestCase()
{
    m_full = qEnvironmentVariable(kSmallFs);
    if (m_full.isEmpty())
        QSKIP("no private mount namespace (unshare -rm) for a small tmpfs");
    if (!MediaCheck::toolsPresent())
        QSKIP("ffprobe and ffmpeg are needed to check recordings");
    encoder::registerMetaTypes();
}

void TestDiskFull::recordingStopsWithTheReason()
{
    QFile other(m_full + QStringLiteral("/other.txt"));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.write("untouched");
    other.close();
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.setValue(SettingsKeys::kOutputMp4, m_full);

    // The recorder and the window wired as the main window wires them.
    QThread thread;
    auto *enc = new encoder;
    enc->moveToThread(&thread);
    thread.start();
    const auto stopThread = qScopeGuard([&] {
        QMetaObject::invokeMethod(
            enc, [enc] { enc->shutdown(); }, Qt::BlockingQueuedConnection);
        QObject::connect(&thread, &QThread::finished, enc, &QObject::deleteLater);
        thread.quit();
        thread.wait();
    });
    SaveVideo window;
    QObject::connect(&window, &SaveVideo::startWorker, enc, &encoder::startWorker);
    QObject::connect(&window, &SaveVideo::shutdownWorker, enc, &encoder::shutdown);
    QObject::connect(enc, &encoder::recordingReport, &window, &SaveVideo::recordingReport);
    QObject::connect(enc, &encoder::stats, &window, &SaveVideo::stats);
    std::atomic<int> returned{0};
    QObject::connect(
        enc, &encoder::buffDispose, enc, [&returned](Frame_t *) { ++returned; }, Qt::DirectConnection);

    LogCapture log;
    auto *startstop = window.findChild<QPushButton *>(QStringLiteral("startstop"));
    auto *state = window.findChild<QLabel *>(QStringLiteral("stat_running"));
    window.findChild<QComboBox *>(QStringLiteral("encoderSettings"))->setCurrentIndex(encoder::H264_RGB_CRF_0);
    QTest::mouseClick(startstop, Qt::LeftButton);
    // Lossless RGB of a changing picture fills the small disk within a few hundred frames.
    const QByteArray pictures = SimFrames::render(60);
    Frame_t frame;
    int fed = 0;
    while (window.recording() && fed < 3000) {
        std::memcpy(frame.pixels.get(), pictures.constData() + (fed % 60) * Frame_t::Bytes, Frame_t::Bytes);
        frame.pts = fed++;
        QMetaObject::invokeMethod(
            enc, [enc, f = &frame] { enc->newBuff(f); }, Qt::BlockingQueuedConnection);
        QCoreApplication::processEvents();
        if (fed % 20 == 0)
            QThread::msleep(30); // let the codec keep up, so that it is the disk that stops the recording
    }
    QTRY_VERIFY_WITH_TIMEOUT(!window.recording(), 5000);
    QCOMPARE(returned.load(), fed);
    QVERIFY2(state->text().startsWith(QStringLiteral("STOPPED - ")), qPrintable(state->text()));
    QVERIFY2(state->text().contains(QStringLiteral("No space left on device")), qPrintable(state->text()));
    QCOMPARE(startstop->text(), QStringLiteral("Start Recording"));
    QVERIFY(log.contains(QStringLiteral("Recording finished: ")));
    QFile check(m_full + QStringLiteral("/other.txt"));
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray("untouched"));

    // Into another folder it records again, and the old reason goes.
    QTemporaryDir elsewhere;
    s.setValue(SettingsKeys::kOutputMp4, elsewhere.path());
    QTest::mouseClick(startstop, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(state->text(), QStringLiteral("READY"), 3000);
    for (int i = 0; i < 30; ++i) {
        while (enc->pendingFrames() >= EncoderCore::kRingSlots)
            QThread::usleep(500);
        frame.pts = fed + i;
        QMetaObject::invokeMethod(
            enc, [enc, f = &frame] { enc->newBuff(f); }, Qt::BlockingQueuedConnection);
    }
    QTest::mouseClick(startstop, Qt::LeftButton);
    QMetaObject::invokeMethod(
        enc, [] {}, Qt::BlockingQueuedConnection);
    const QStringList files = QDir(elsewhere.path()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QCOMPARE(MediaCheck::probe(elsewhere.filePath(files[0])).value(QStringLiteral("nb_read_frames")).toInt(), 30);
}

void TestDiskFull::stillOnAFullDiskLeavesNoFile()
{
    // Whatever room is left goes to a filler first.
    QFile filler(m_full + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();
    const QStringList before = QDir(m_full).entryList(QDir::Files);

    Frame_t frame;
    const QByteArray picture = SimFrames::render(1);
    std::memcpy(frame.pixels.get(), picture.constData(), Frame_t::Bytes);
    FrameToPNG writer;
    QSignalSpy results(&writer, &FrameToPNG::saveFrameResult);
    writer.saveFrame(m_full + QStringLiteral("/still.png"));
    writer.newBuff(&frame);
    QCOMPARE(results.size(), 2);
    const QString result = results[1][0].toString();
    QVERIFY2(result.startsWith(QStringLiteral("Failed")), qPrintable(result));
    QCOMPARE(QDir(m_full).entryList(QDir::Files), before);
}

int main(int argc, char *argv[])
{
    // Start again inside a private mount namespace with a 1.5 MB tmpfs at a folder of the build tree.
    if (!qEnvironmentVariableIsSet(kSmallFs) && !qEnvironmentVariableIsSet("VQ6020_SMALLFS_TRIED") &&
        std::system("unshare -rm true >/dev/null 2>&1") == 0) {
        const QByteArray dir = qEnvironmentVariable("VQ6020_BINARY_DIR", QDir::tempPath()).toLocal8Bit() + "/smallfs";
        QDir().mkpath(QString::fromLocal8Bit(dir));
        setenv("VQ6020_SMALLFS_TRIED", "1", 1);
        setenv("VQ6020_SMALLFS_DIR", dir.constData(), 1);
        std::vector<char *> args{
            const_cast<char *>("unshare"), const_cast<char *>("-rm"), const_cast<char *>("sh"),
            const_cast<char *>("-c"),
            const_cast<char *>("mount -t tmpfs -o size=1536k tmpfs \"$VQ6020_SMALLFS_DIR\" && "
                               "export VQ6020_SMALLFS=\"$VQ6020_SMALLFS_DIR\"; exec \"$0\" \"$@\"")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("unshare", args.data());
    }
    QApplication app(argc, argv);
    TestDiskFull test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_DiskFull.moc"
