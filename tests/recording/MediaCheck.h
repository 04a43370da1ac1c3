#pragma once

// ffprobe and ffmpeg as the independent judges of what the recorder wrote.
#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace MediaCheck {

inline bool toolsPresent()
{
    return !QStandardPaths::findExecutable(QStringLiteral("ffprobe")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty();
}

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

inline Run run(const QString &program, const QStringList &args, int timeoutMs = 60000)
{
    QProcess p;
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// Stream and container facts, frames counted by decoding: codec_name, width, height, pix_fmt, r_frame_rate,
// nb_read_frames, duration (container), format_name.
inline QMap<QString, QString> probe(const QString &file)
{
    const Run r = run(QStringLiteral("ffprobe"),
                      {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                       QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                       QStringLiteral("stream=codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames:format="
                                      "duration,format_name"),
                       QStringLiteral("-of"), QStringLiteral("default=nw=1"), file});
    QMap<QString, QString> facts;
    for (const QByteArray &line : r.out.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            facts.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)).trimmed());
    }
    if (r.exitCode != 0)
        facts.insert(QStringLiteral("error"), QString::fromUtf8(r.err));
    return facts;
}

// What a strict decode of the whole file complains about ("" when it decodes cleanly).
inline QString decodeErrors(const QString &file)
{
    const Run r =
        run(QStringLiteral("ffmpeg"),
            {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-xerror"),
             QStringLiteral("-i"), file, QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    if (r.exitCode != 0 && r.err.isEmpty())
        return QStringLiteral("exit code %1").arg(r.exitCode);
    return QString::fromUtf8(r.err).trimmed();
}

// The decoded pictures as raw bytes in pixFmt (rgb24, yuv444p, ...), each frame once (gaps in time are not filled).
inline QByteArray decodeRaw(const QString &file, const QString &pixFmt)
{
    return run(QStringLiteral("ffmpeg"),
               {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), file,
                QStringLiteral("-fps_mode"), QStringLiteral("passthrough"), QStringLiteral("-f"),
                QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"), pixFmt, QStringLiteral("-")})
        .out;
}

// Raw 480 x 272 RGB565LE frames converted by ffmpeg into pixFmt.
inline QByteArray convertRaw(const QString &rgb565File, const QString &pixFmt)
{
    return run(QStringLiteral("ffmpeg"),
               {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
                QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"), QStringLiteral("rgb565le"),
                QStringLiteral("-s"), QStringLiteral("480x272"), QStringLiteral("-i"), rgb565File, QStringLiteral("-f"),
                QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"), pixFmt, QStringLiteral("-")})
        .out;
}

// Average PSNR of the Y plane between the recording and the raw RGB565 source, by ffmpeg's psnr filter
// (both sides converted to 4:4:4 so the comparison does not depend on the recording's chroma layout).
inline double psnrY(const QString &file, const QString &rgb565File, int fps)
{
    const Run r =
        run(QStringLiteral("ffmpeg"),
            {QStringLiteral("-nostdin"),
             QStringLiteral("-v"),
             QStringLiteral("info"),
             QStringLiteral("-i"),
             file,
             QStringLiteral("-f"),
             QStringLiteral("rawvideo"),
             QStringLiteral("-pix_fmt"),
             QStringLiteral("rgb565le"),
             QStringLiteral("-s"),
             QStringLiteral("480x272"),
             QStringLiteral("-r"),
             QString::number(fps),
             QStringLiteral("-i"),
             rgb565File,
             QStringLiteral("-lavfi"),
             QStringLiteral(
                 "[0:v]format=yuv444p,settb=1/60,setpts=N[a];[1:v]format=yuv444p,settb=1/60,setpts=N[b];[a][b]psnr"),
             QStringLiteral("-f"),
             QStringLiteral("null"),
             QStringLiteral("-")});
    const QString err = QString::fromUtf8(r.err);
    const int at = err.lastIndexOf(QStringLiteral(" y:"));
    if (at < 0)
        return -1;
    const QString value = err.mid(at + 3).section(QLatin1Char(' '), 0, 0);
    return value == QLatin1String("inf") ? 1000.0 : value.toDouble();
}

} // namespace MediaCheck
