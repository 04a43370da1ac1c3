#include "recording/FfmpegLog.h"

#include "recording/encoder.h"

#include <QDebug>

#include <cstdarg>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/log.h>
}

namespace {

struct PendingLine {
    char text[FfmpegLog::kMaxLine + 1] = {};
    int length = 0;
    char name[64] = {};
    int level = 0;
};

// Each thread that logs (ours and the codec's workers) builds its own line.
thread_local PendingLine t_line;

void emitLine(PendingLine &line)
{
    qInfo().noquote() << QStringLiteral("libav[%1](%3): %2")
                             .arg(QString::fromUtf8(line.name), QString::fromUtf8(line.text, line.length))
                             .arg(line.level);
    line.length = 0;
    line.text[0] = '\0';
}

void callback(void *avcl, int level, const char *fmt, va_list vl)
{
    if (level > AV_LOG_INFO || !fmt)
        return;
    PendingLine &line = t_line;
    if (line.length == 0) {
        const AVClass *cls = avcl ? *static_cast<AVClass **>(avcl) : nullptr;
        const char *name = cls && cls->item_name ? cls->item_name(avcl) : nullptr;
        std::snprintf(line.name, sizeof line.name, "%s", name ? name : "unk");
        line.level = level;
    }
    va_list copy;
    va_copy(copy, vl);
    const int room = FfmpegLog::kMaxLine - line.length;
    const int wanted = std::vsnprintf(line.text + line.length, size_t(room) + 1, fmt, copy);
    va_end(copy);
    if (wanted < 0)
        return;
    const bool cut = wanted > room;
    line.length += cut ? room : wanted;
    const bool ended = line.length > 0 && line.text[line.length - 1] == '\n';
    if (ended)
        line.text[--line.length] = '\0';
    if (ended || cut) {
        if (line.length > 0)
            emitLine(line);
        line.length = 0;
    }
}

} // namespace

void FfmpegLog::install()
{
    av_log_set_callback(callback);
}

void FfmpegLog::prepareRecording()
{
    install();
    encoder::registerMetaTypes();
}
