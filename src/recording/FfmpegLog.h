#pragma once

// FFmpeg's messages in the application log. Process-wide: call once at start-up, before any recording.
namespace FfmpegLog {

// The longest line passed on; a longer message is cut there.
inline constexpr int kMaxLine = 1024;

// Installs the bridge: messages of level AV_LOG_INFO and more important become info lines
// "libav[<item name or unk>](<level>): <text>". Pieces of one line (FFmpeg prints some lines in several calls)
// are joined per thread; the line break that ends a message is dropped. The codec's own threads call it too.
void install();

// Start-up step for recording: the log bridge and the recorder's types for queued signals.
void prepareRecording();

} // namespace FfmpegLog
