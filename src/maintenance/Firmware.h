#pragma once

#include "maintenance/ConfigRecord.h"
#include "maintenance/FirmwareJobs.h"

#include <QDialog>

#include <functional>
#include <memory>

class Blobs;
class FtdiTransport;
class QMessageBox;

namespace Ui {
class Firmware;
}

// The maintenance window for a unit on USB: whether its bridge is there and
// usable, firmware update, reboot, the configuration record, and the unit's
// serial console on channel B. The main window makes one at start-up and keeps
// it for the life of the application, so its timer (the jobs' steps, the
// console poll, the version check) runs even while the window is hidden.
class Firmware : public QDialog
{
    Q_OBJECT
public:
    // The window keeps this many status lines; log.txt keeps all of them.
    static constexpr int kStatusLogLines = 5000;
    static constexpr int kConsoleBaud = 921600;
    static constexpr int kConsoleReadBytes = 1024;

    // blobs: the images to write (the application's own when null).
    // pauseOneMs: the pause between busy polls (the platform's sleep when empty).
    explicit Firmware(QWidget *parent = nullptr, const Blobs *blobs = nullptr, std::function<void()> pauseOneMs = {});
    ~Firmware() override;

    // Runs a question box that the window has filled in (text, Yes and No, No
    // the default) and returns the button chosen; exec() unless replaced.
    using Asker = std::function<int(QMessageBox &box)>;
    void setAsker(Asker asker) { m_asker = std::move(asker); }

    // The images to write and to check the unit's CRC against, in place of the application's own, for a window
    // whose owner made it before they were at hand (a test hands its images to the main window's window this way).
    bool setImages(const Blobs *blobs) { return m_jobs->setBlobs(blobs); }
    FirmwareJobs &jobs() { return *m_jobs; }
    int timerPeriodMs() const { return m_timerPeriod; }
    bool consoleOpen() const { return m_console != nullptr; }

    static const char kUpdateQuestion[];
    static const char kRegenerateQuestion[];

public slots:
    void gotCRC32FromApplication(quint32 crc32);
    void on_reset_clicked();
    void on_log_clicked();
    void on_gateware_program_clicked();
    void on_configRead_clicked();
    void on_configWrite_clicked();
    void setControlState();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void statusLine(const QString &text);
    void appendStatus(const QString &text);
    void pollConsole();
    void closeConsole();
    void followTickPeriod();
    bool confirm(const QString &title, const QString &text);
    ConfigRecord::Fields fields() const;
    void showFields(const ConfigRecord::Fields &fields);

    // Declared before the jobs: the jobs' last status line, as they close the
    // JTAG link on destruction, still reaches the log.
    std::unique_ptr<Ui::Firmware> ui;
    std::unique_ptr<Blobs> m_ownBlobs;
    std::unique_ptr<FirmwareJobs> m_jobs;
    std::unique_ptr<FtdiTransport> m_console;
    Asker m_asker;
    int m_timerId = 0;
    int m_timerPeriod = FirmwareJobs::kTickMs;
    bool m_jobsBusy = false;
    quint32 m_reportedCrc = 0;
    bool m_crcReported = false;
};
