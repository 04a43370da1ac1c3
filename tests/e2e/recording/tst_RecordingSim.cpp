// Recording and stills in the whole client against the simulated unit: what the files hold is what the unit sent,
// and every way the program can end (the user, another client, close, a signal) leaves a file that plays.
#include "../../recording/MediaCheck.h"
#include "support/ClientSettings.h"
#include "support/LogCapture.h"
#include "support/ScreenImages.h"
#include "support/SimProcess.h"

#include "SimOptions.h"
#include "app/SettingsKeys.h"
#include "link/PylonController.h"
#include "recording/OutputNames.h"
#include "recording/SaveVideo.h"
#include "ui/MainWindow.h"
#include "ui/RenderLabel.h"

#include <QAction>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using namespace ScreenImages;

class TestRecordingSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void recordsWithTheDefaultPreset();
    void losslessRecordingHoldsTheFramesSent();
    void stillsAreFramesSent();
    void anotherClientTakesTheCapture();
    void closingTheWindowFinishesTheFile();
    void endingSignals_data();
    void endingSignals();

private:
    template <typename T> T *child(const char *name) const { return m_window->findChild<T *>(QLatin1String(name)); }
    QString start(int preset, QDateTime *before = nullptr, QDateTime *after = nullptr);
    int stop();
    int lastEncoded() const;
    QSet<QByteArray> sentFramesAsRgb24() const;

    SimProcess m_sim;
    QTemporaryDir m_dumps;
    QTemporaryDir m_out;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<LogCapture> m_log;
};

void TestRecordingSim::initTestCase()
{
    if (!MediaCheck::toolsPresent())
        QSKIP("ffprobe and ffmpeg are needed to check recordings");
    QVERIFY(m_dumps.isValid() && m_out.isValid());
    ClientSettings::useSavedAddressOnly(SimOptions::defaultKey());
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.setValue(SettingsKeys::kMainWindowFrameRate, QStringLiteral("actionFPS_30"));
    s.setValue(SettingsKeys::kOutputMp4, m_out.path());
    s.setValue(SettingsKeys::kOutputPng, m_out.path());
    s.sync();
    encoder::registerMetaTypes();

    m_log = std::make_unique<LogCapture>();
    QVERIFY(m_sim.start({QStringLiteral("--dump-frames"), m_dumps.path(), QStringLiteral("--no-mdns")}));
    m_window.reset(new MainWindow);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("stateLabel")->text(), QStringLiteral("Connected"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->overallStatus()->status(), OverallStatus::Active, 5000);
    child<QAction>("actionSave_mp4_Video")->trigger();
    QTRY_VERIFY(child<SaveVideo>("SaveVideo")->isVisible());
}

void TestRecordingSim::cleanupTestCase()
{
    m_window.reset();
    m_sim.stop();
    m_log.reset();
}

QString TestRecordingSim::start(int preset, QDateTime *before, QDateTime *after)
{
    const int started = m_log->count(QStringLiteral("Attempting to start encoder output to "));
    const int ready = m_log->count(QStringLiteral("H264 Encoder Ready"));
    child<QComboBox>("encoderSettings")->setCurrentIndex(preset);
    const QDateTime clickedAfter = QDateTime::currentDateTime();
    QTest::mouseClick(child<QPushButton>("startstop"), Qt::LeftButton);
    if (before)
        *before = clickedAfter;
    if (after)
        *after = QDateTime::currentDateTime();
    QElapsedTimer t;
    t.start();
    while (m_log->count(QStringLiteral("H264 Encoder Ready")) == ready && t.elapsed() < 5000)
        QTest::qWait(20);
    const QStringList lines = m_log->matching(QStringLiteral("Attempting to start encoder output to "));
    if (lines.size() != started + 1)
        return QString();
    return lines.last().section(QStringLiteral("Attempting to start encoder output to "), 1);
}

int TestRecordingSim::lastEncoded() const
{
    const QStringList lines = m_log->matching(QStringLiteral("Recording finished: "));
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("(\\d+) frames encoded")).match(lines.value(lines.size() - 1));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

int TestRecordingSim::stop()
{
    const int finished = m_log->count(QStringLiteral("Recording finished: "));
    QTest::mouseClick(child<QPushButton>("startstop"), Qt::LeftButton);
    QElapsedTimer t;
    t.start();
    while (m_log->count(QStringLiteral("Recording finished: ")) == finished && t.elapsed() < 10000)
        QTest::qWait(20);
    return lastEncoded();
}

void TestRecordingSim::recordsWithTheDefaultPreset()
{
    QDateTime before, after;
    const QString path =
        start(child<SaveVideo>("SaveVideo")->findChild<QComboBox *>()->currentIndex(), &before, &after);
    QVERIFY(!path.isEmpty());
    QCOMPARE(child<QComboBox>("encoderSettings")->currentText(), QStringLiteral("H264_YUV420_CRF17"));
    // Named from the click time, in the chosen folder.
    const QString name = QFileInfo(path).fileName();
    QVERIFY2(
        QRegularExpression(QStringLiteral("^Radio Recording \\d{4}-\\d\\d-\\d\\d at \\d\\d\\.\\d\\d\\.\\d\\d (AM|PM)"
                                          "\\.mp4$"))
            .match(name)
            .hasMatch(),
        qPrintable(name));
    QVERIFY(name == OutputNames::recordingName(before) || name == OutputNames::recordingName(after));
    QCOMPARE(QFileInfo(path).absolutePath(), m_out.path());
    // The frame rate cannot change under a running recording.
    QTRY_VERIFY_WITH_TIMEOUT(!child<QAction>("actionFPS_60")->isEnabled(), 3000);
    QTest::qWait(5000);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("stat_running")->text(), QStringLiteral("ACTIVE"), 2000);
    const int encoded = stop();
    QVERIFY(encoded > 60);
    QTRY_VERIFY_WITH_TIMEOUT(child<QAction>("actionFPS_60")->isEnabled(), 3000);

    const QMap<QString, QString> facts = MediaCheck::probe(path);
    QCOMPARE(facts.value(QStringLiteral("codec_name")), QStringLiteral("h264"));
    QCOMPARE(facts.value(QStringLiteral("width")), QStringLiteral("480"));
    QCOMPARE(facts.value(QStringLiteral("height")), QStringLiteral("272"));
    QCOMPARE(facts.value(QStringLiteral("pix_fmt")), QStringLiteral("yuv420p"));
    QCOMPARE(facts.value(QStringLiteral("r_frame_rate")), QStringLiteral("30/1"));
    QCOMPARE(facts.value(QStringLiteral("nb_read_frames")).toInt(), encoded);
    // Frames lost on a busy machine leave gaps in time, never a shorter file.
    const double duration = facts.value(QStringLiteral("duration")).toDouble();
    QVERIFY2(duration >= (encoded - 1) / 30.0 && duration <= 7.0, qPrintable(QString::number(duration)));
    QCOMPARE(MediaCheck::decodeErrors(path), QString());
}

QSet<QByteArray> TestRecordingSim::sentFramesAsRgb24() const
{
    // Every frame the simulator sent, expanded to RGB24 by ffmpeg in one go.
    const QString all = m_out.filePath(QStringLiteral("sent.rgb565"));
    QFile joined(all);
    if (!joined.open(QIODevice::WriteOnly))
        return {};
    for (const QString &dump : QDir(m_dumps.path()).entryList(QDir::Files, QDir::Name)) {
        QFile f(m_dumps.filePath(dump));
        if (f.open(QIODevice::ReadOnly) && f.size() == Frame_t::Bytes)
            joined.write(f.readAll());
    }
    joined.close();
    const QByteArray rgb = MediaCheck::convertRaw(all, QStringLiteral("rgb24"));
    QFile::remove(all);
    QSet<QByteArray> frames;
    constexpr int kFrame = 480 * 272 * 3;
    for (int at = 0; at + kFrame <= rgb.size(); at += kFrame)
        frames.insert(QCryptographicHash::hash(rgb.mid(at, kFrame), QCryptographicHash::Md5));
    return frames;
}

void TestRecordingSim::losslessRecordingHoldsTheFramesSent()
{
    const QString path = start(encoder::H264_RGB_CRF_0);
    QVERIFY(!path.isEmpty());
    QTest::qWait(1000);
    const int encoded = stop();
    QVERIFY(encoded > 10);
    const QSet<QByteArray> sent = sentFramesAsRgb24();
    const QByteArray decoded = MediaCheck::decodeRaw(path, QStringLiteral("rgb24"));
    constexpr int kFrame = 480 * 272 * 3;
    // Frames the codec had no time for are dropped and leave gaps in time; those that are in the file are exact.
    QCOMPARE(decoded.size(), encoded * kFrame);
    for (int i = 0; i < encoded; ++i)
        QVERIFY2(sent.contains(QCryptographicHash::hash(decoded.mid(i * kFrame, kFrame), QCryptographicHash::Md5)),
                 qPrintable(QStringLiteral("decoded frame %1 was never sent").arg(i)));
}

void TestRecordingSim::stillsAreFramesSent()
{
    QStringList stills;
    for (int i = 0; i < 2; ++i) {
        const qint64 shown = m_window->whichLabel()->heldFrame()->pts;
        const int saved = m_log->count(QStringLiteral("Saved PNG"));
        QTest::mouseClick(child<QPushButton>("savePNG"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(m_log->count(QStringLiteral("Saved PNG")), saved + 1, 3000);
        QCOMPARE(child<QLabel>("pngStatus")->text(), QStringLiteral("Saved PNG"));
        const QString line = m_log->matching(QStringLiteral(" success")).last();
        const QString path = line.mid(5, line.size() - 5 - 8);
        stills << path;
        // The still is exactly one frame the simulator sent, the one on screen at the click or a newer one.
        const QImage still = QImage(path).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(still.size(), QSize(480, 272));
        int matches = 0;
        qint64 number = -1;
        for (const QString &dump : QDir(m_dumps.path()).entryList(QDir::Files, QDir::Name | QDir::Reversed)) {
            QFile f(m_dumps.filePath(dump));
            if (!f.open(QIODevice::ReadOnly) || f.size() != Frame_t::Bytes)
                continue;
            if (differing(still, toImage(f.readAll()), still.rect()) == 0) {
                ++matches;
                number = dump.mid(6, 5).toLongLong();
            }
        }
        QCOMPARE(matches, 1);
        QVERIFY2(number >= (shown & 0xFFFF), qPrintable(QStringLiteral("%1 < %2").arg(number).arg(shown)));
    }
    QVERIFY(stills[0] != stills[1]);
    QVERIFY(QFile::exists(stills[0]) && QFile::exists(stills[1]));
}

void TestRecordingSim::anotherClientTakesTheCapture()
{
    const QString path = start(encoder::H264_YUV420_CRF30);
    QVERIFY(!path.isEmpty());
    QTest::qWait(700);
    // A second client of the same unit starts a recording of its own: it writes its capture handle.
    PylonController other;
    other.setFrameDivisor(1);
    QTRY_COMPARE_WITH_TIMEOUT(other.state(), PylonController::Connected, 10000);
    other.writeWord(PylonController::dc_capture_app_handle, 0x0badcafe);
    QVERIFY(m_log->waitFor(QStringLiteral("Device handle does match our capture handle, timebase lost, capture halted"),
                           5000));
    QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>("startstop")->text(), QStringLiteral("Start Recording"), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(
        child<QLabel>("stat_running")->text().startsWith(QStringLiteral("STOPPED - Device handle")), 3000);
    QCOMPARE(MediaCheck::probe(path).value(QStringLiteral("nb_read_frames")).toInt(), lastEncoded());
    QCOMPARE(MediaCheck::decodeErrors(path), QString());
}

void TestRecordingSim::closingTheWindowFinishesTheFile()
{
    const QString path = start(encoder::H264_YUV420_CRF30);
    QVERIFY(!path.isEmpty());
    QTest::qWait(1500);
    m_window->close();
    m_window.reset();
    const int encoded = lastEncoded();
    QVERIFY(encoded > 10);
    QCOMPARE(MediaCheck::probe(path).value(QStringLiteral("nb_read_frames")).toInt(), encoded);
    QCOMPARE(MediaCheck::decodeErrors(path), QString());
}

void TestRecordingSim::endingSignals_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
    QTest::newRow("SIGKILL") << int(SIGKILL);
}

void TestRecordingSim::endingSignals()
{
    // The program itself with a stand-in user who starts a recording; the window above is gone, so the port is free.
    QFETCH(int, sig);
    QVERIFY(!m_window);
    QTemporaryDir out;
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).setValue(SettingsKeys::kOutputMp4, out.path());
    QProcess app;
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(qEnvironmentVariable("VQ6020_RECORDING_DRIVER"), QStringList());
    QVERIFY(app.waitForStarted());
    QByteArray output;
    QElapsedTimer t;
    t.start();
    while (!output.contains("H264 Encoder Ready") && t.elapsed() < 20000 && app.state() == QProcess::Running) {
        app.waitForReadyRead(200);
        output += app.readAll();
    }
    QVERIFY2(output.contains("H264 Encoder Ready"), output.right(2000).constData());
    // A few fragments' worth of frames (the codec holds back some 15 before its first fragment).
    QTest::qWait(sig == SIGKILL ? 2500 : 1000);
    ::kill(pid_t(app.processId()), sig);
    QVERIFY(app.waitForFinished(10000));
    output += app.readAll();
    const QStringList files = QDir(out.path()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const QString path = out.filePath(files[0]);
    const QMap<QString, QString> facts = MediaCheck::probe(path);
    QVERIFY2(!facts.contains(QStringLiteral("error")), qPrintable(facts.value(QStringLiteral("error"))));
    QVERIFY(facts.value(QStringLiteral("format_name")).contains(QStringLiteral("mp4")));
    const int frames = facts.value(QStringLiteral("nb_read_frames")).toInt();
    if (sig == SIGKILL) {
        // Cut off: what the finished fragments hold still plays.
        QCOMPARE(app.exitStatus(), QProcess::CrashExit);
        QVERIFY(frames >= 10);
    } else {
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("Recording finished: (\\d+) frames encoded"))
                .match(QString::fromUtf8(output));
        QVERIFY2(m.hasMatch(), output.right(2000).constData());
        QCOMPARE(frames, m.captured(1).toInt());
    }
    QCOMPARE(MediaCheck::decodeErrors(path), QString());
}

QTEST_MAIN(TestRecordingSim)
#include "tst_RecordingSim.moc"
