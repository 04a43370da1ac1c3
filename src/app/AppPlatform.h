#pragma once

#include <QObject>
#include <QString>

#include <memory>

class UsbProbe;

// Everything that differs between operating systems sits behind this one
// process-wide object, so another platform only adds an implementation file.
class AppPlatform : public QObject
{
    Q_OBJECT
public:
    static AppPlatform &instance();

    QString applicationDir() const { return m_applicationDir; }
    void setApplicationDir(const QString &dir) { m_applicationDir = dir; }
    QString logFilePath() const { return m_logFilePath; }
    void setLogFilePath(const QString &path) { m_logFilePath = path; }

    // Shows a file selected in its folder in the desktop's file manager, or
    // opens a folder. Returns at once: a file manager that has to start first
    // can take seconds to answer, and the GUI thread that asks must keep serving
    // the link and the picture meanwhile. If none answers, the folder is opened
    // instead. shownInFolder reports the outcome.
    void showInFolder(const QString &path);

    // Sleeps the calling thread for about one millisecond (flash busy polls).
    static void sleepOneMs();
    // Gives the heap pages that freed memory left behind back to the system (the allocator keeps them, so a burst of
    // short-lived objects would hold the process at its peak size). True where the platform can. It walks the whole
    // heap: call it after bursts of frees, at most about once a second.
    static bool releaseFreedMemory();

    // Whether the unit's USB bridge (0403:6010) is attached, and whether this program may use it.
    enum UsbPresence { UsbNotPresent = 0, UsbPresentUnusable = 1, UsbPresentUsable = 2 };
    UsbPresence detectUsbDevice();
    // What the user can do about UsbPresentUnusable on this system.
    static QString usbUnusableHint();
    // Replaces how devices are listed and opened (tests); null restores libusb.
    void setUsbProbe(std::unique_ptr<UsbProbe> probe);
    // From now on the signals that ask a desktop program to end (SIGINT, SIGTERM, SIGHUP: Ctrl+C, kill, logging
    // out) arrive as terminationRequested in the GUI thread instead of ending the process on the spot, so the
    // window can close the way the user closes it. Call once, from the GUI thread.
    void watchTerminationSignals();

signals:
    void terminationRequested(int signal);
    // Whether the file manager, or else the folder fallback, took a showInFolder request.
    void shownInFolder(const QString &path, bool shown);

private:
    AppPlatform();
    ~AppPlatform() override;
    QString m_applicationDir;
    QString m_logFilePath;
    std::unique_ptr<UsbProbe> m_usbProbe;
    bool m_watchingSignals = false;
};
