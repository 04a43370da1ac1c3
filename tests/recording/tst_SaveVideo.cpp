// The save-video window offscreen and the PNG writer: folders, names, start and stop, what the reports show, and
// stills that hold exactly the frame they were taken from.
#include "SimFrames.h"

#include "app/SettingsKeys.h"
#include "recording/FrameToPNG.h"
#include "recording/SaveVideo.h"
#include "support/LogCapture.h"
#include "support/ScreenImages.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

using Report = QList<QVariant>; // recording, state, dropped, reason: a recordingReport followed by its stats

class TestSaveVideo : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void withoutFolders();
    void choosingFolders_data();
    void choosingFolders();
    void namesFromTheClickTime();
    void refusedFolders_data();
    void refusedFolders();
    void reports_data();
    void reports();
    void statisticsFormat();
    void stillIsTheFrame();
    void picture();

private:
    std::unique_ptr<SaveVideo> window(const QString &answer = QString());
    template <typename T> T *child(SaveVideo *w, const char *name) { return w->findChild<T *>(QLatin1String(name)); }
    QTemporaryDir m_dir;
    QString m_startOffered;
    const QDateTime m_clicked{QDate(2024, 3, 5), QTime(21, 41, 7)};
};

void TestSaveVideo::init()
{
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).clear();
    m_startOffered.clear();
}

std::unique_ptr<SaveVideo> TestSaveVideo::window(const QString &answer)
{
    return std::make_unique<SaveVideo>(
        nullptr,
        [this, answer](QWidget *, const QString &caption, const QString &start) {
            m_startOffered = caption + QLatin1Char('|') + start;
            return answer;
        },
        [this] { return m_clicked; });
}

void TestSaveVideo::withoutFolders()
{
    auto w = window();
    QCOMPARE(w->windowTitle(), QStringLiteral("Save to MP4"));
    QCOMPARE(w->size(), QSize(284, 395));
    QCOMPARE(child<QPushButton>(w.get(), "outFile")->text(), QStringLiteral("Not Set"));
    QCOMPARE(child<QPushButton>(w.get(), "outPNG")->text(), QStringLiteral("Not Set"));
    QVERIFY(!child<QPushButton>(w.get(), "startstop")->isEnabled());
    QVERIFY(!child<QPushButton>(w.get(), "savePNG")->isEnabled());
    auto *presets = child<QComboBox>(w.get(), "encoderSettings");
    QStringList names;
    for (int i = 0; i < presets->count(); ++i)
        names << presets->itemText(i);
    QCOMPARE(names, (QStringList{"H264_RGB_CRF_0", "H264_YUV444_CRF_0", "H264_YUV420_CRF17", "H264_YUV420_CRF27",
                                 "H264_YUV420_CRF30", "H264_YUV420_CRF51"}));
    QCOMPARE(presets->currentIndex(), 2);
    QCOMPARE(presets->toolTip(),
             QStringLiteral("<html><head/><body><br/>H264_RGB_CRF_0: Absolute best quality,  frequently incompatible"
                            "<br/>H264_YUV_CRF_0: Second best quality,  slightly less incompatible<br/>H264_YUV_CRF27: "
                            "Nearly visually lossless, commonly compatible<br/>H264_YUV_CRF30: Ok quality,  commonly "
                            "compatible<br/>H264_YUV_CRF51: Blurry mess, commonly compatible</body></html>"));
}

void TestSaveVideo::choosingFolders_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("enables");
    QTest::addColumn<int>("where");
    QTest::addColumn<bool>("cancel");
    QTest::newRow("recordings") << "outFile" << SettingsKeys::kOutputMp4 << "startstop"
                                << int(QStandardPaths::MoviesLocation) << false;
    QTest::newRow("stills") << "outPNG" << SettingsKeys::kOutputPng << "savePNG"
                            << int(QStandardPaths::PicturesLocation) << false;
    QTest::newRow("recordings, cancelled")
        << "outFile" << SettingsKeys::kOutputMp4 << "startstop" << int(QStandardPaths::MoviesLocation) << true;
}

void TestSaveVideo::choosingFolders()
{
    QFETCH(QString, button);
    QFETCH(QString, key);
    QFETCH(QString, enables);
    QFETCH(int, where);
    QFETCH(bool, cancel);
    auto w = window(cancel ? QString() : m_dir.path());
    QTest::mouseClick(child<QPushButton>(w.get(), qPrintable(button)), Qt::LeftButton);
    QCOMPARE(m_startOffered, QStringLiteral("Open Directory|") +
                                 QStandardPaths::writableLocation(QStandardPaths::StandardLocation(where)));
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    QCOMPARE(s.contains(key), !cancel);
    QCOMPARE(child<QPushButton>(w.get(), qPrintable(button))->text(),
             cancel ? QStringLiteral("Not Set") : m_dir.path());
    QCOMPARE(child<QPushButton>(w.get(), qPrintable(enables))->isEnabled(), !cancel);
}

void TestSaveVideo::namesFromTheClickTime()
{
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).setValue(SettingsKeys::kOutputMp4, m_dir.path());
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).setValue(SettingsKeys::kOutputPng, m_dir.path());
    auto w = window();
    QSignalSpy starts(w.get(), &SaveVideo::startWorker);
    QSignalSpy stills(w.get(), &SaveVideo::savePng);
    auto *startstop = child<QPushButton>(w.get(), "startstop");
    for (int i = 0; i < 2; ++i) {
        QTest::mouseClick(startstop, Qt::LeftButton);
        QCOMPARE(startstop->text(), QStringLiteral("Stop Recording"));
        QVERIFY(!child<QComboBox>(w.get(), "encoderSettings")->isEnabled());
        QTest::mouseClick(startstop, Qt::LeftButton);
        QCOMPARE(startstop->text(), QStringLiteral("Start Recording"));
        QTest::mouseClick(child<QPushButton>(w.get(), "savePNG"), Qt::LeftButton);
    }
    // Two recordings and two stills within one second: the second of each gets a name of its own.
    const QString sep = QDir::separator();
    QCOMPARE(starts.size(), 2);
    QCOMPARE(starts[0][0].toString(), m_dir.path() + sep + "Radio Recording 2024-03-05 at 09.41.07 PM.mp4");
    QCOMPARE(starts[1][0].toString(), m_dir.path() + sep + "Radio Recording 2024-03-05 at 09.41.07 PM (2).mp4");
    QCOMPARE(starts[0][1].value<encoder::EncoderPreset>(), encoder::H264_YUV420_CRF17);
    QCOMPARE(stills[0][0].toString(), m_dir.path() + sep + "Radio Screenshot 2024-03-05 at 09.41.07 PM.png");
    QCOMPARE(stills[1][0].toString(), m_dir.path() + sep + "Radio Screenshot 2024-03-05 at 09.41.07 PM (2).png");
}

void TestSaveVideo::refusedFolders_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("reason");
    QTest::newRow("empty") << ""
                           << "no folder chosen";
    QTest::newRow("relative") << "Videos"
                              << "Videos is not an absolute path";
    QTest::newRow("url") << "tcp://h:1"
                         << "tcp://h:1 is not an absolute path";
    QTest::newRow("missing") << "/nonexistent-vq6020"
                             << "/nonexistent-vq6020 does not exist";
}

void TestSaveVideo::refusedFolders()
{
    QFETCH(QString, folder);
    QFETCH(QString, reason);
    QSettings s(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
    s.setValue(SettingsKeys::kOutputMp4, folder);
    s.setValue(SettingsKeys::kOutputPng, folder);
    auto w = window();
    QSignalSpy starts(w.get(), &SaveVideo::startWorker);
    QSignalSpy stills(w.get(), &SaveVideo::savePng);
    QTest::mouseClick(child<QPushButton>(w.get(), "startstop"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(w.get(), "savePNG"), Qt::LeftButton);
    QCOMPARE(starts.size(), 0);
    QCOMPARE(stills.size(), 0);
    QCOMPARE(child<QLabel>(w.get(), "stat_running")->text(), QStringLiteral("FAILED - ") + reason);
    QCOMPARE(child<QLabel>(w.get(), "pngStatus")->text(), QStringLiteral("Failed to open for writing - ") + reason);
    QCOMPARE(child<QPushButton>(w.get(), "startstop")->text(), QStringLiteral("Start Recording"));
}

void TestSaveVideo::reports_data()
{
    QTest::addColumn<int>("starts"); // clicks on "Start Recording" before the reports arrive
    QTest::addColumn<QList<Report>>("reports");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("stillRecording");
    const auto r = [](uint n, encoder::EncoderState s, const QString &reason = QString()) {
        return Report{n, QVariant::fromValue(s), 0u, reason};
    };
    QTest::newRow("stale STOPPED before the start's own report")
        << 2 << QList<Report>{r(1, encoder::STOPPED), r(1, encoder::STOPPED), r(2, encoder::READY)} << "READY" << true;
    QTest::newRow("own STOPPED after a failure")
        << 1 << QList<Report>{r(1, encoder::ACTIVE), r(1, encoder::STOPPED, "Error during x. No space")}
        << "STOPPED - Error during x. No space" << false;
    QTest::newRow("capture handle taken")
        << 1 << QList<Report>{r(1, encoder::READY), r(1, encoder::STOPPED, "halted")} << "STOPPED - halted" << false;
    QTest::newRow("start failed") << 1 << QList<Report>{r(1, encoder::FAILED, "Failed outSetup")}
                                  << "FAILED - Failed outSetup" << true;
    QTest::newRow("old reason not shown after the next start")
        << 2 << QList<Report>{r(1, encoder::STOPPED, "old"), r(2, encoder::ACTIVE)} << "ACTIVE" << true;
}

void TestSaveVideo::reports()
{
    QFETCH(int, starts);
    QFETCH(QList<Report>, reports);
    QFETCH(QString, shown);
    QFETCH(bool, stillRecording);
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).setValue(SettingsKeys::kOutputMp4, m_dir.path());
    auto w = window();
    auto *startstop = child<QPushButton>(w.get(), "startstop");
    for (int i = 0; i < starts; ++i) {
        if (w->recording())
            QTest::mouseClick(startstop, Qt::LeftButton);
        QTest::mouseClick(startstop, Qt::LeftButton);
    }
    QSignalSpy stops(w.get(), &SaveVideo::shutdownWorker);
    for (const Report &rep : reports) {
        const auto state = rep[1].value<encoder::EncoderState>();
        w->recordingReport(rep[0].toUInt(), state, rep[2].toUInt(), rep[3].toString());
        w->stats(state, 0, 0, 0, 0);
    }
    QCOMPARE(child<QLabel>(w.get(), "stat_running")->text(), shown);
    QCOMPARE(w->recording(), stillRecording);
    QCOMPARE(stops.size(), stillRecording ? 0 : 1);
    QCOMPARE(startstop->text(), stillRecording ? QStringLiteral("Stop Recording") : QStringLiteral("Start Recording"));
}

void TestSaveVideo::statisticsFormat()
{
    auto w = window();
    w->recordingReport(0, encoder::ACTIVE, 7, QString());
    w->stats(encoder::ACTIVE, 1234, 1572864, 2.5 * 1024 * 1024, 62668800);
    QCOMPARE(child<QLabel>(w.get(), "stat_fileSize")->text(), QStringLiteral("  1.5 MB"));
    QCOMPARE(child<QLabel>(w.get(), "stat_bps")->text(), QStringLiteral("  2.5 Mb/sec"));
    QCOMPARE(child<QLabel>(w.get(), "stat_bpsIn")->text(), QStringLiteral("59.7656 Mb/sec"));
    QCOMPARE(child<QLabel>(w.get(), "stat_frames")->text(), QStringLiteral("1234"));
    QCOMPARE(child<QLabel>(w.get(), "stat_dropped")->text(), QStringLiteral("7"));
}

void TestSaveVideo::stillIsTheFrame()
{
    const QByteArray pictures = SimFrames::render(2);
    Frame_t frames[2];
    for (int i = 0; i < 2; ++i)
        std::memcpy(frames[i].pixels.get(), pictures.constData() + i * Frame_t::Bytes, Frame_t::Bytes);
    const QString path = m_dir.filePath(QStringLiteral("still.png"));
    QFile::remove(path);
    QFile taken(path);
    LogCapture log;
    FrameToPNG writer;
    QSignalSpy results(&writer, &FrameToPNG::saveFrameResult);
    QSignalSpy passed(&writer, &FrameToPNG::buffDispose);
    for (int round = 0; round < 2; ++round) {
        writer.saveFrame(path);
        writer.newBuff(&frames[0]);
        writer.newBuff(&frames[1]);
    }
    QCOMPARE(passed.size(), 4);
    QCOMPARE(passed[1][0].value<Frame_t *>(), &frames[1]);
    QCOMPARE(results.size(), 4);
    QCOMPARE(results[0][0].toString(), QStringLiteral("Save requested"));
    QCOMPARE(results[1][0].toString(), QStringLiteral("Saved PNG"));
    QVERIFY(log.contains(QStringLiteral("Open ") + path + QStringLiteral(" success")));
    // The second still asked for the same name and got one of its own; both hold the first frame after the ask.
    const QString second = m_dir.filePath(QStringLiteral("still (2).png"));
    for (const QString &file : {path, second}) {
        const QImage saved(file);
        QCOMPARE(saved.size(), QSize(480, 272));
        QCOMPARE(ScreenImages::differing(saved.convertToFormat(QImage::Format_RGB32),
                                         ScreenImages::toImage(pictures.left(Frame_t::Bytes)), saved.rect()),
                 0);
    }
}

void TestSaveVideo::picture()
{
    QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication).setValue(SettingsKeys::kOutputMp4, m_dir.path());
    auto w = window();
    w->show();
    QTest::mouseClick(child<QPushButton>(w.get(), "startstop"), Qt::LeftButton);
    w->recordingReport(1, encoder::ACTIVE, 3, QString());
    w->stats(encoder::ACTIVE, 1234, 1572864, 2.5 * 1024 * 1024, 62668800);
    w->savePngResult(QStringLiteral("Saved PNG"));
    const QImage shot = w->grab().toImage();
    QVERIFY(!shot.isNull());
    QVERIFY(shot.save(ScreenImages::screenshotPath(QStringLiteral("save_video_recording"))));
}

QTEST_MAIN(TestSaveVideo)
#include "tst_SaveVideo.moc"
