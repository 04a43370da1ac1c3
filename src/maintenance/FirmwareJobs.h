#pragma once

#include "maintenance/ConfigRecord.h"
#include "maintenance/Ecp5Flash.h"

#include <QByteArray>
#include <QString>

#include <functional>

class Blobs;

// The maintenance jobs on the unit's flash: firmware update, reboot, and the
// configuration record's read and write. The Firmware window owns one, calls
// tick() on its timer (at tickPeriodMs()), and asks controlState() whenever it
// lays out its controls. One job at a time: they share one JTAG link, and two
// step machines interleaving on it would corrupt the flash.
class FirmwareJobs
{
public:
    enum class UpdateStep { Start, Connect, Erase, Program, Readback, Refresh, Idle };
    enum class ConfigStep { Defaults, Prepare, Connect, Erase, Write, Verify, Refresh, Idle };

    struct Hooks {
        // A status line for the window's log (the jobs log it themselves).
        std::function<void(const QString &)> statusLine;
        // flashMode changed: the window recomputes its controls.
        std::function<void()> controlsChanged;
        // The 1 ms pause between busy polls; the platform's sleep when empty.
        std::function<void()> pauseOneMs;
    };

    struct Controls {
        bool configWrite = false;
        bool configRead = false;
        bool gatewareProgram = false;
        bool reset = false;
        bool ipMode = false;
        bool keySources = false;
        bool addressFields = false;
        ConfigRecord::KeySource defaultKeySource = ConfigRecord::KeySource::Regenerate;
    };

    static constexpr int kTickMs = 33;
    static constexpr uint32_t kSectorSize = 0x10000;
    static constexpr int kPageSize = 256;
    static constexpr int kReadChunk = 1024;
    static const char kNoImages[];
    static const char kVersionWarning[];

    FirmwareJobs(const Blobs *blobs, Hooks hooks);
    ~FirmwareJobs();
    FirmwareJobs(const FirmwareJobs &) = delete;
    FirmwareJobs &operator=(const FirmwareJobs &) = delete;

    // One step of the update job, then one of the configuration write job.
    void tick();
    int tickPeriodMs() const { return m_tickMs; }
    bool flashMode() const { return m_flashMode; }
    bool busy() const { return m_updateStep != UpdateStep::Idle || m_configStep != ConfigStep::Idle; }
    UpdateStep updateStep() const { return m_updateStep; }
    ConfigStep configStep() const { return m_configStep; }

    // Each start returns false (with a status line saying why) when refused.
    bool startUpdate();
    bool reboot();
    bool startConfigWrite(const ConfigRecord::Fields &fields);
    // Runs at once. fields: the window's fields in, the fields to show out.
    bool readConfiguration(ConfigRecord::Fields *fields);

    Controls controlState(bool staticChecked) const;
    const UserConfiguration &readBackConfig() const { return m_readBackConfig; }
    QByteArray configBytes() const { return m_configBytes; }

    // True once per run, when the unit's CRC differs from the image's: the
    // window then shows kVersionWarning.
    bool gotCRC32FromApplication(quint32 crc32);
    // Other images to write and to check the unit's CRC against (the caller keeps them alive); the image is built
    // from them when next needed. Refused (false) while a job runs on the image built before.
    bool setBlobs(const Blobs *blobs);
    // Builds the image once; false (reason in imageError()) when it cannot be written.
    bool buildImage();
    const QByteArray &image() const { return m_image; }
    quint32 imageCrc() const { return m_imageCrc; }
    QString imageError() const { return m_imageError; }

    static quint32 crc32(const char *data, int size);

private:
    enum class Entry { NotEntered, Entered, Refused };
    Entry enterFlashMode();
    // The Connect step of either job: on into the job, to its refresh when the device was refused, or back to idle
    // (and the normal tick) when the link could not even be opened.
    template <typename Step> Step afterConnect(Step entered, Step refused, Step idle)
    {
        switch (enterFlashMode()) {
        case Entry::Entered: return entered;
        case Entry::Refused: return refused;
        case Entry::NotEntered: break;
        }
        m_tickMs = kTickMs;
        return idle;
    }
    void refreshDevice();
    void status(const QString &text);
    void setFlashMode(bool on);
    bool linkFailed() const;
    bool refuseWhileBusy();

    void stepUpdate();
    void updateFailed();
    void stepConfig();
    bool prepareConfig();

    const Blobs *m_blobs;
    Hooks m_hooks;
    Ecp5Flash m_flash;

    int m_tickMs = kTickMs;
    bool m_jtagOpen = false;
    bool m_flashMode = false;
    bool m_crcWarned = false;

    UpdateStep m_updateStep = UpdateStep::Idle;
    int m_eraseOffset = -int(kSectorSize);
    int m_programOffset = -kPageSize;
    QByteArray m_image;
    quint32 m_imageCrc = 0;
    QString m_imageError;
    QByteArray m_readBack;

    ConfigStep m_configStep = ConfigStep::Idle;
    ConfigRecord::Fields m_fields;
    UserConfiguration m_readBackConfig = UserConfiguration_init_zero;
    UserConfiguration m_configToWrite = UserConfiguration_init_zero;
    QByteArray m_configBytes;
};
