#pragma once

// Every settings key of the program, in one place. Each class opens its own
// QSettings(kOrganisation, kApplication) and reads with an explicit default.
namespace SettingsKeys {

inline constexpr char kOrganisation[] = "FernhollowLLC";
inline constexpr char kApplication[] = "VQ6020";

// Shared keys.
inline constexpr char kProxyMode[] = "ProxyMode";
inline constexpr char kNetPsk[] = "NET_PSK";
inline constexpr char kConnectPrioPrio[] = "connectPrio/%1/prio";
inline constexpr char kConnectPrioChecked[] = "connectPrio/%1/checked";
inline constexpr char kConnectPrioExtended[] = "connectPrio/%1/extended";
inline constexpr char kMidiDevice[] = "MidiDevice";

// Main window.
inline constexpr char kMainWindowFrameRate[] = "mainWindow/frameRate";
inline constexpr char kMainWindowStackIndex[] = "mainWindow/stackIndex";
inline constexpr char kMainWindowGeometry[] = "mainWindow/geometry";
inline constexpr char kViewport[] = "viewport";
inline constexpr char kStatusBar[] = "statusbar";
inline constexpr char kScriptShow[] = "scriptshow";
inline constexpr char kScript[] = "script";
inline constexpr char kMaxVolume[] = "maxVolume";

// Update checks: the version the user chose to skip; automatic checks stay quiet about it.
inline constexpr char kUpdaterSkippedVersion[] = "updater/skippedVersion";

// Recording.
inline constexpr char kOutputMp4[] = "outputMP4";
inline constexpr char kOutputPng[] = "outputPNG";

} // namespace SettingsKeys

namespace AppInfo {
// The release version is CMake's project version, handed in by the build, so that the About
// box, --version, the crash reports and the packages always name the same release.
inline constexpr char kVersion[] = VQ6020_VERSION;
// The name the program goes by on the command line and in --version.
inline constexpr char kProgram[] = "VQ6020";
inline constexpr char kCrashLabel[] = "vq6020";
} // namespace AppInfo
