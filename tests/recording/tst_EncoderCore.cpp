// The FFmpeg side of the recorder without threads: every preset checked by ffprobe and ffmpeg, and outputs it refuses.
#include "MediaCheck.h"
#include "SimFrames.h"

#include "recording/EncoderCore.h"
#include "recording/FfmpegLog.h"
#include "recording/encoder.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>
#include <QTest>
#include <QThread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

class TestEncoderCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void presets_data();
    void presets();
    void refusedOutputs_data();
    void refusedOutputs();
    void logBridge_data();
    void logBridge();
    void longLinesAreCut();

private:
    QString encode(int preset, int fps, int frames, int step = 1);

    QTemporaryDir m_dir;
    QByteArray m_source;
    encoder m_presets;
};

void TestEncoderCore::initTestCase()
{
    if (!MediaCheck::toolsPresent())
        QSKIP("ffprobe and ffmpeg are needed to check recordings");
    QVERIFY(m_dir.isValid());
    m_source = SimFrames::render(120);
    QVERIFY(SimFrames::write(m_dir.filePath(QStringLiteral("source.rgb565")), m_source));
}

QString TestEncoderCore::encode(int preset, int fps, int frames, int step)
{
    const QString path = m_dir.filePath(QStringLiteral("p%1-%2fps-%3.mp4").arg(preset).arg(fps).arg(frames));
    EncoderCore core;
    if (!core.open(path, m_presets.presets().value(encoder::EncoderPreset(preset)), fps))
        return QString();
    for (int i = 0; i < frames; ++i) {
        const auto *pixels = reinterpret_cast<const uint8_t *>(m_source.constData()) + size_t(i % 120) * Frame_t::Bytes;
        if (!core.push(pixels, Frame_t::Stride, int64_t(i) * step) || !core.encodeOne())
            return QString();
    }
    core.close();
    if (core.framesEncoded() != frames || !core.reason().isEmpty())
        return QString();
    return path;
}

void TestEncoderCore::presets_data()
{
    QTest::addColumn<int>("preset");
    QTest::addColumn<QString>("pixFmt");
    QTest::addColumn<double>("minPsnr"); // Y, dB; 1000 stands for identical
    // Measured on 120 frames of the simulator's picture: preset 0 decodes to the source bit for bit (checked on
    // RGB below), preset 1 is lossless in YUV 4:4:4, presets 2..5 gave 41.4, 33.8, 31.1 and 19.1 dB.
    QTest::newRow("H264_RGB_CRF_0") << 0 << "gbrp" << 0.0;
    QTest::newRow("H264_YUV444_CRF_0") << 1 << "yuv444p" << 1000.0;
    QTest::newRow("H264_YUV420_CRF17") << 2 << "yuv420p" << 40.5;
    QTest::newRow("H264_YUV420_CRF27") << 3 << "yuv420p" << 33.0;
    QTest::newRow("H264_YUV420_CRF30") << 4 << "yuv420p" << 30.5;
    QTest::newRow("H264_YUV420_CRF51") << 5 << "yuv420p" << 18.5;
}

void TestEncoderCore::presets()
{
    QFETCH(int, preset);
    QFETCH(QString, pixFmt);
    QFETCH(double, minPsnr);
    const QString file = encode(preset, 60, 120);
    QVERIFY(!file.isEmpty());
    const QMap<QString, QString> facts = MediaCheck::probe(file);
    QVERIFY2(!facts.contains(QStringLiteral("error")), qPrintable(facts.value(QStringLiteral("error"))));
    QCOMPARE(facts.value(QStringLiteral("codec_name")), QStringLiteral("h264"));
    QCOMPARE(facts.value(QStringLiteral("width")), QStringLiteral("480"));
    QCOMPARE(facts.value(QStringLiteral("height")), QStringLiteral("272"));
    QCOMPARE(facts.value(QStringLiteral("pix_fmt")), pixFmt);
    QCOMPARE(facts.value(QStringLiteral("r_frame_rate")), QStringLiteral("60/1"));
    QVERIFY(facts.value(QStringLiteral("format_name")).contains(QStringLiteral("mp4")));
    QCOMPARE(facts.value(QStringLiteral("nb_read_frames")), QStringLiteral("120"));
    const double duration = facts.value(QStringLiteral("duration")).toDouble();
    QVERIFY2(qAbs(duration - 2.0) <= 1.0 / 60, qPrintable(QString::number(duration)));
    QCOMPARE(MediaCheck::decodeErrors(file), QString());

    if (preset == 0) {
        // Lossless RGB: what the player shows is the screen's RGB565 expanded to 8 bits, bit for bit.
        const QByteArray decoded = MediaCheck::decodeRaw(file, QStringLiteral("rgb24"));
        const QByteArray expected =
            MediaCheck::convertRaw(m_dir.filePath(QStringLiteral("source.rgb565")), QStringLiteral("rgb24"));
        QCOMPARE(decoded.size(), 120 * 480 * 272 * 3);
        QVERIFY(decoded == expected);
        return;
    }
    const double psnr = MediaCheck::psnrY(file, m_dir.filePath(QStringLiteral("source.rgb565")), 60);
    qInfo().noquote() << QStringLiteral("preset %1: PSNR Y %2 dB").arg(preset).arg(psnr);
    QVERIFY2(psnr >= minPsnr, qPrintable(QString::number(psnr)));
}

void TestEncoderCore::refusedOutputs_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("logged");
    QTest::newRow("relative") << "Radio Recording.mp4"
                              << "not an absolute path";
    QTest::newRow("network url") << "tcp://127.0.0.1:9/x.mp4"
                                 << "not an absolute path";
    QTest::newRow("missing folder") << "/nonexistent-folder/x.mp4"
                                    << "Failed to open /nonexistent-folder/x.mp4 No such";
}

void TestEncoderCore::refusedOutputs()
{
    QFETCH(QString, path);
    QFETCH(QString, logged);
    LogCapture log;
    EncoderCore core;
    QVERIFY(!core.open(path, m_presets.presets().value(encoder::H264_YUV420_CRF51), 60));
    QVERIFY2(core.reason().contains(logged), qPrintable(core.reason()));
    QVERIFY(log.contains(logged));
    QVERIFY(log.contains(QStringLiteral("Failed outSetup")));
    QVERIFY(!core.isOpen());
    QVERIFY(!core.push(reinterpret_cast<const uint8_t *>(m_source.constData()), Frame_t::Stride, 0));
    core.close();
}

void TestEncoderCore::logBridge_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<bool>("named");   // logged with a codec context, whose class names it
    QTest::addColumn<QString>("line"); // "" when nothing is logged
    QTest::newRow("info, line break dropped")
        << AV_LOG_INFO << QStringList{"frame %d done\n"} << false << "libav[unk](32): frame 7 done";
    QTest::newRow("error with its object's name")
        << AV_LOG_ERROR << QStringList{"broken\n"} << true << "libav[libx264](16): broken";
    QTest::newRow("verbose is left out") << AV_LOG_VERBOSE << QStringList{"chatter\n"} << false << "";
    QTest::newRow("debug is left out") << AV_LOG_DEBUG << QStringList{"chatter\n"} << false << "";
    QTest::newRow("a line in pieces") << AV_LOG_INFO << QStringList{"Stream #0:0", ": Video: h264\n"} << false
                                      << "libav[unk](32): Stream #0:0: Video: h264";
}

void TestEncoderCore::logBridge()
{
    QFETCH(int, level);
    QFETCH(QStringList, pieces);
    QFETCH(bool, named);
    QFETCH(QString, line);
    FfmpegLog::install();
    AVCodecContext *context = named ? avcodec_alloc_context3(avcodec_find_encoder_by_name("libx264")) : nullptr;
    LogCapture log;
    for (const QString &piece : pieces)
        av_log(context, level, piece.toUtf8().constData(), 7);
    avcodec_free_context(&context);
    const QStringList lines = log.matching(QStringLiteral("libav["));
    QCOMPARE(lines, line.isEmpty() ? QStringList() : QStringList{line});
}

void TestEncoderCore::longLinesAreCut()
{
    FfmpegLog::install();
    LogCapture log;
    const QByteArray longText(5000, 'x');
    // From another thread too, as the codec's own threads log.
    QThread *other = QThread::create([&] { av_log(nullptr, AV_LOG_WARNING, "%s\n", longText.constData()); });
    other->start();
    other->wait();
    delete other;
    const QStringList lines = log.matching(QStringLiteral("libav[unk](24): "));
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].size(), QStringLiteral("libav[unk](24): ").size() + FfmpegLog::kMaxLine);
}

QTEST_GUILESS_MAIN(TestEncoderCore)
#include "tst_EncoderCore.moc"
