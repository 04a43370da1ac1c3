#include "maintenance/FirmwareJobs.h"

#include "app/AppPlatform.h"
#include "app/SettingsKeys.h"
#include "maintenance/Blobs.h"
#include "maintenance/Crc32.h"
#include "maintenance/JtagTap.h"
#include "maintenance/LibFtdiTransport.h"
#include "maintenance/MpsseLink.h"
#include "maintenance/PrintSink.h"

#include <QDebug>
#include <QRandomGenerator64>
#include <QSettings>

#include <algorithm>
#include <cstring>

const char FirmwareJobs::kNoImages[] = "This build carries no firmware images.";
const char FirmwareJobs::kVersionWarning[] = "VQ6020 Firmware version is incorrect. This may cause unexpected "
                                             "behavior, please update firmware.";

namespace {

const char kBusyRefusal[] = "Another maintenance job is still running; wait until it has finished.";
const char kFlashStaysBusy[] = "JTAG: Flash stays busy, job stopped.";

QString hex8(qint64 value, QChar fill)
{
    return QStringLiteral("%1").arg(value, 8, 16, fill);
}

QSettings settings()
{
    return QSettings(QString::fromLatin1(SettingsKeys::kOrganisation), QString::fromLatin1(SettingsKeys::kApplication));
}

} // namespace

FirmwareJobs::FirmwareJobs(const Blobs *blobs, Hooks hooks)
    : m_blobs(blobs), m_hooks(std::move(hooks)),
      m_flash(m_hooks.pauseOneMs ? m_hooks.pauseOneMs : Ecp5Flash::Pause(&AppPlatform::sleepOneMs))
{
}

FirmwareJobs::~FirmwareJobs()
{
    if (m_jtagOpen) {
        status(QStringLiteral("JTAG: Close interface"));
        JtagTap::instance().close();
    }
}

void FirmwareJobs::status(const QString &text)
{
    qInfo().noquote() << text;
    if (!m_hooks.statusLine)
        return;
    // Prints wait for the window's next tick; a status line must not overtake
    // them, or "FAIL" would stand above the transport error that caused it.
    if (PrintSink::pending())
        m_hooks.statusLine(PrintSink::takePending());
    m_hooks.statusLine(text);
}

void FirmwareJobs::setFlashMode(bool on)
{
    m_flashMode = on;
    if (m_hooks.controlsChanged)
        m_hooks.controlsChanged();
}

bool FirmwareJobs::linkFailed() const
{
    return MpsseLink::instance().errorCode() != 0;
}

bool FirmwareJobs::refuseWhileBusy()
{
    if (!busy())
        return false;
    status(QString::fromLatin1(kBusyRefusal));
    return true;
}

void FirmwareJobs::tick()
{
    stepUpdate();
    stepConfig();
}

FirmwareJobs::Entry FirmwareJobs::enterFlashMode()
{
    // A link that failed is opened afresh: the error belongs to that session.
    if (!m_jtagOpen || linkFailed()) {
        status(QStringLiteral("JTAG: Initialize interface"));
        JtagTap::instance().open(0, nullptr, 1);
        m_jtagOpen = !linkFailed();
    }
    if (!m_jtagOpen)
        return Entry::NotEntered;

    // Whatever bridge carries the right USB id is opened; make sure an ECP5
    // sits behind it before its configuration is cleared. A reset selects IDCODE.
    JtagTap::instance().moveTo(JtagTap::TestLogicReset);
    const uint32_t idcode = m_flash.readIdcode();
    if (linkFailed())
        return Entry::NotEntered;
    status(QStringLiteral("JTAG: IDCODE 0x%1").arg(idcode, 8, 16, QLatin1Char('0')));
    if (!Ecp5Flash::isEcp5(idcode)) {
        status(QStringLiteral("JTAG: Not an ECP5 FPGA (IDCODE 0x%1); nothing was changed.")
                   .arg(idcode, 8, 16, QLatin1Char('0')));
        return Entry::NotEntered;
    }

    status(QStringLiteral("JTAG: Putting device into reset"));
    m_flash.ecpCommand8(Ecp5Flash::IscEnable);
    m_flash.ecpCommand8(Ecp5Flash::IscErase);
    m_flash.ecpCommand8(Ecp5Flash::IscDisable);
    m_flash.enableBackgroundSpi();
    m_flash.resetFlashModes();
    setFlashMode(true);

    const uint32_t jedec = m_flash.readJedecId();
    const QString id = QStringLiteral("%1 %2 %3")
                           .arg(jedec >> 16, 2, 16, QLatin1Char('0'))
                           .arg((jedec >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
                           .arg(jedec & 0xFF, 2, 16, QLatin1Char('0'))
                           .toUpper();
    status(QStringLiteral("JTAG: Flash JEDEC ID %1").arg(id));
    if (linkFailed() || jedec == 0 || jedec == 0xFFFFFF) {
        status(QStringLiteral("JTAG: No flash answers (JEDEC ID %1); nothing was changed.").arg(id));
        return Entry::Refused;
    }
    return Entry::Entered;
}

void FirmwareJobs::refreshDevice()
{
    setFlashMode(false);
    status(QStringLiteral("JTAG: Issue Device Refresh"));
    m_flash.refresh();
    m_tickMs = kTickMs;
}

quint32 FirmwareJobs::crc32(const char *data, int size)
{
    return crc32Ieee(data, size_t(std::max(size, 0)));
}

bool FirmwareJobs::buildImage()
{
    if (!m_image.isEmpty())
        return true;
    if (!m_blobs || !m_blobs->present()) {
        m_imageError = QString::fromLatin1(kNoImages);
        return false;
    }
    const QByteArray gateware = m_blobs->gateware();
    if (gateware.isEmpty()) {
        m_imageError = m_blobs->error() + QStringLiteral(" Nothing was written.");
        return false;
    }
    const QByteArray firmware = m_blobs->firmware();
    if (firmware.isEmpty()) {
        m_imageError = m_blobs->error() + QStringLiteral(" Nothing was written.");
        return false;
    }
    const auto padded = [](qint64 length) { return (length + 0xFFFF) & ~qint64(0xFFFF); };
    const qint64 firmwareAt = padded(gateware.size());
    const qint64 total = padded(firmwareAt + firmware.size());
    // The configuration record has a sector of its own after the image.
    if (total > ConfigRecord::kFlashAddress) {
        m_imageError = QStringLiteral("The image (0x%1 bytes) would overwrite the configuration record at 0x%2; "
                                      "nothing was written.")
                           .arg(total, 0, 16)
                           .arg(ConfigRecord::kFlashAddress, 0, 16);
        return false;
    }
    QByteArray image;
    image.reserve(int(total));
    image.append(gateware);
    image.append(QByteArray(int(firmwareAt - gateware.size()), '\xFF'));
    image.append(firmware);
    m_imageCrc = crc32(image.constData(), image.size());
    image.append(QByteArray(int(total - image.size()), '\xFF'));
    m_image = image;
    m_imageError.clear();
    return true;
}

bool FirmwareJobs::setBlobs(const Blobs *blobs)
{
    if (busy())
        return false;
    m_blobs = blobs;
    m_image.clear();
    m_imageCrc = 0;
    m_imageError.clear();
    return true;
}

bool FirmwareJobs::gotCRC32FromApplication(quint32 crc32)
{
    if (m_crcWarned || !buildImage())
        return false;
    if (crc32 == m_imageCrc)
        return false;
    m_crcWarned = true;
    return true;
}

bool FirmwareJobs::startUpdate()
{
    if (refuseWhileBusy())
        return false;
    if (!buildImage()) {
        status(m_imageError);
        return false;
    }
    if (m_blobs->testContent() && ftdiTransportIsHardware()) {
        status(QStringLiteral("This build carries test images; they are written only to an emulated unit."));
        return false;
    }
    m_updateStep = UpdateStep::Start;
    return true;
}

void FirmwareJobs::updateFailed()
{
    status(QStringLiteral("JTAG: Flash Verify FAIL."));
    m_updateStep = UpdateStep::Refresh;
}

void FirmwareJobs::stepUpdate()
{
    switch (m_updateStep) {
    case UpdateStep::Start:
        m_readBack.clear();
        m_programOffset = -kPageSize;
        m_eraseOffset = -int(kSectorSize);
        m_tickMs = 0;
        m_updateStep = UpdateStep::Connect;
        break;
    case UpdateStep::Connect:
        m_updateStep = afterConnect(UpdateStep::Erase, UpdateStep::Refresh, UpdateStep::Idle);
        break;
    case UpdateStep::Erase:
        if (linkFailed())
            return updateFailed();
        if (m_eraseOffset < 0)
            status(QStringLiteral("Starting flash erase of size 0x%1").arg(hex8(m_image.size(), QLatin1Char('0'))));
        if (m_eraseOffset + int(kSectorSize) == m_image.size()) {
            status(QStringLiteral("JTAG: Erase Done."));
            m_updateStep = UpdateStep::Program;
            break;
        }
        m_eraseOffset += int(kSectorSize);
        m_flash.writeEnable();
        PrintSink::print("erase 64kB sector at 0x%06X..\n", unsigned(m_eraseOffset));
        m_flash.eraseBlock64k(uint32_t(m_eraseOffset));
        if (!m_flash.waitReady()) {
            if (!linkFailed())
                status(QString::fromLatin1(kFlashStaysBusy));
            return updateFailed();
        }
        break;
    case UpdateStep::Program:
        if (linkFailed())
            return updateFailed();
        if (m_programOffset < 0)
            status(QStringLiteral("JTAG: Program Start."));
        if (m_programOffset + kPageSize < m_image.size()) {
            m_programOffset += kPageSize;
            if (m_programOffset % int(kSectorSize) == 0) {
                const int percent = int(double(m_programOffset) / double(m_image.size()) * 100.0);
                status(QStringLiteral("JTAG: Program %1% %2/%3.")
                           .arg(percent)
                           .arg(hex8(m_programOffset, QLatin1Char(' ')), hex8(m_image.size(), QLatin1Char(' '))));
            }
            m_flash.writeEnable();
            m_flash.programPage(uint32_t(m_programOffset),
                                reinterpret_cast<const uint8_t *>(m_image.constData()) + m_programOffset, kPageSize);
            if (!m_flash.waitReady()) {
                if (!linkFailed())
                    status(QString::fromLatin1(kFlashStaysBusy));
                return updateFailed();
            }
        } else {
            status(QStringLiteral("JTAG: Program Done."));
            status(QStringLiteral("JTAG: Verify Start."));
            m_flash.resetFlashModes();
            m_flash.startRead(0);
            m_readBack.reserve(m_image.size());
            m_updateStep = UpdateStep::Readback;
        }
        break;
    case UpdateStep::Readback: {
        if (linkFailed())
            return updateFailed();
        const int n = std::min(m_image.size() - m_readBack.size(), kReadChunk);
        if (n > 0) {
            uint8_t chunk[kReadChunk];
            m_flash.continueRead(chunk, n);
            if (linkFailed())
                return updateFailed();
            m_readBack.append(reinterpret_cast<const char *>(chunk), n);
            break;
        }
        status(QStringLiteral("JTAG: Readback done (%1 of %2 bytes read)").arg(m_readBack.size()).arg(m_image.size()));
        const bool pass = !m_image.isEmpty() && m_readBack == m_image;
        status(QStringLiteral("JTAG: Flash Verify %1.").arg(pass ? QStringLiteral("PASS") : QStringLiteral("FAIL")));
        m_updateStep = UpdateStep::Refresh;
        break;
    }
    case UpdateStep::Refresh:
        refreshDevice();
        m_updateStep = UpdateStep::Idle;
        break;
    case UpdateStep::Idle: break;
    }
}

bool FirmwareJobs::reboot()
{
    if (refuseWhileBusy())
        return false;
    if (enterFlashMode() == Entry::NotEntered) {
        // Nothing was changed on the device (no link, or not an ECP5).
        setFlashMode(false);
        m_tickMs = kTickMs;
        return false;
    }
    refreshDevice();
    return true;
}

bool FirmwareJobs::readConfiguration(ConfigRecord::Fields *fields)
{
    if (refuseWhileBusy())
        return false;
    const Entry entry = enterFlashMode();
    if (entry == Entry::NotEntered) {
        setFlashMode(false);
        m_tickMs = kTickMs;
        return false;
    }
    if (entry == Entry::Entered) {
        status(QStringLiteral("JTAG: Read %1 bytes").arg(kSectorSize));
        m_flash.startRead(ConfigRecord::kFlashAddress);
        QByteArray sector(int(kSectorSize), '\0');
        m_flash.continueRead(reinterpret_cast<uint8_t *>(sector.data()), sector.size());

        UserConfiguration record;
        QString error;
        if (linkFailed() || !ConfigRecord::decode(sector, &record, &error)) {
            qInfo().noquote() << "Failed to decode UserConfiguration: " + (error.isEmpty() ? "(none)" : error);
            qInfo() << "Defaulting UserConfiguration from UI Fields";
            ConfigRecord::fromFields(*fields, QDateTime::currentDateTime(), &record, nullptr);
        }
        m_readBackConfig = record;
        *fields = ConfigRecord::toFields(record, fields->keySource);

        QSettings s = settings();
        const QByteArray key = ConfigRecord::keyOf(record);
        if (!s.contains(QString::fromLatin1(SettingsKeys::kNetPsk)) && record.has_psk) {
            // A weak key on the unit is not copied: the key check would delete
            // it again and leave this computer without the unit's key anyway.
            if (key.size() != ConfigRecord::kKeyLength || ConfigRecord::blacklistIndex(key) >= 0) {
                qWarning() << "The unit's key is not usable; it was not stored";
            } else {
                qInfo() << "No stored PSK, storing device key";
                s.setValue(QString::fromLatin1(SettingsKeys::kNetPsk), key);
            }
        }
    }
    refreshDevice();
    return true;
}

bool FirmwareJobs::startConfigWrite(const ConfigRecord::Fields &fields)
{
    if (refuseWhileBusy())
        return false;
    m_fields = fields;
    m_configStep = ConfigStep::Defaults;
    return true;
}

bool FirmwareJobs::prepareConfig()
{
    QSettings s = settings();
    QByteArray key;
    switch (m_fields.keySource) {
    case ConfigRecord::KeySource::Regenerate: {
        status(QStringLiteral("Generating new secret key"));
        quint64 words[2] = {QRandomGenerator64::system()->generate(), QRandomGenerator64::system()->generate()};
        key = QByteArray(reinterpret_cast<const char *>(words), sizeof words);
        break;
    }
    case ConfigRecord::KeySource::Unit:
        status(QStringLiteral("Using key from VQ6020"));
        key = ConfigRecord::keyOf(m_readBackConfig);
        break;
    case ConfigRecord::KeySource::Application:
        status(QStringLiteral("Using key from saved settings"));
        key = s.value(QString::fromLatin1(SettingsKeys::kNetPsk)).toByteArray();
        break;
    }
    // Refused before it is stored or anything is erased: a weak or missing key
    // on the unit is one no client can (or should) connect with.
    if (key.size() != ConfigRecord::kKeyLength) {
        status(
            QStringLiteral("Key refused: it has %1 bytes, not 16. The configuration was not written.").arg(key.size()));
        return false;
    }
    const int listed = ConfigRecord::blacklistIndex(key);
    if (listed >= 0) {
        status(QStringLiteral("Key refused: it is blacklisted (%1). The configuration was not written.").arg(listed));
        return false;
    }
    m_configToWrite.has_psk = true;
    m_configToWrite.psk.size = pb_size_t(key.size());
    std::memcpy(m_configToWrite.psk.bytes, key.constData(), size_t(key.size()));
    s.setValue(QString::fromLatin1(SettingsKeys::kNetPsk), key);
    s.sync();

    m_configBytes = ConfigRecord::encode(m_configToWrite);
    if (m_configBytes.isEmpty()) {
        qWarning() << "Write size too big!";
        status(QStringLiteral("The configuration does not fit its record; it was not written."));
        return false;
    }
    qInfo().noquote() << "PersistentConfig seralized is " + QString::number(m_configBytes.size());
    status(QStringLiteral("Configuration data ready to write"));
    return true;
}

void FirmwareJobs::stepConfig()
{
    const QString at = hex8(ConfigRecord::kFlashAddress, QLatin1Char(' '));
    switch (m_configStep) {
    case ConfigStep::Defaults: {
        QString error;
        if (!ConfigRecord::fromFields(m_fields, QDateTime::currentDateTime(), &m_configToWrite, &error)) {
            status(error + QStringLiteral("; the configuration was not written."));
            m_configStep = ConfigStep::Idle;
            break;
        }
        m_configStep = ConfigStep::Prepare;
        break;
    }
    case ConfigStep::Prepare: m_configStep = prepareConfig() ? ConfigStep::Connect : ConfigStep::Idle; break;
    case ConfigStep::Connect:
        m_configStep = afterConnect(ConfigStep::Erase, ConfigStep::Refresh, ConfigStep::Idle);
        break;
    case ConfigStep::Erase:
        if (!linkFailed()) {
            status(QStringLiteral("Erase configuration at 0x%1").arg(at));
            m_flash.writeEnable();
            PrintSink::print("erase 64kB sector at 0x%06X..\n", unsigned(ConfigRecord::kFlashAddress));
            m_flash.eraseBlock64k(ConfigRecord::kFlashAddress);
            if (m_flash.waitReady()) {
                m_configStep = ConfigStep::Write;
                break;
            }
            if (!linkFailed())
                status(QString::fromLatin1(kFlashStaysBusy));
        }
        status(QStringLiteral("Verify fail"));
        m_configStep = ConfigStep::Refresh;
        break;
    case ConfigStep::Write:
        if (!linkFailed()) {
            m_flash.writeEnable();
            status(QStringLiteral("Write configuration to 0x%1").arg(at));
            m_flash.programPage(ConfigRecord::kFlashAddress,
                                reinterpret_cast<const uint8_t *>(m_configBytes.constData()), m_configBytes.size());
            if (m_flash.waitReady()) {
                m_configStep = ConfigStep::Verify;
                break;
            }
            if (!linkFailed())
                status(QString::fromLatin1(kFlashStaysBusy));
        }
        status(QStringLiteral("Verify fail"));
        m_configStep = ConfigStep::Refresh;
        break;
    case ConfigStep::Verify: {
        status(QStringLiteral("JTAG: Read %1 bytes").arg(kSectorSize));
        m_flash.startRead(ConfigRecord::kFlashAddress);
        QByteArray sector(int(kSectorSize), '\0');
        m_flash.continueRead(reinterpret_cast<uint8_t *>(sector.data()), sector.size());
        sector.truncate(m_configBytes.size());
        const bool pass = !linkFailed() && !m_configBytes.isEmpty() && sector == m_configBytes;
        status(pass ? QStringLiteral("Verify pass") : QStringLiteral("Verify fail"));
        m_configStep = ConfigStep::Refresh;
        break;
    }
    case ConfigStep::Refresh:
        refreshDevice();
        m_configStep = ConfigStep::Idle;
        break;
    case ConfigStep::Idle: break;
    }
}

FirmwareJobs::Controls FirmwareJobs::controlState(bool staticChecked) const
{
    QSettings s = settings();
    const QByteArray stored = s.value(QString::fromLatin1(SettingsKeys::kNetPsk)).toByteArray();
    const bool hasPskStored = s.contains(QString::fromLatin1(SettingsKeys::kNetPsk));
    const bool hasReadbackPsk = m_readBackConfig.has_psk;
    const bool conflict = hasPskStored && hasReadbackPsk && stored != ConfigRecord::keyOf(m_readBackConfig);
    qInfo() << "hasPskStored:" << hasPskStored << "hasReadbackPSK:" << hasReadbackPsk << "conflict:" << conflict;

    Controls c;
    c.defaultKeySource = hasReadbackPsk ? ConfigRecord::KeySource::Unit
                         : hasPskStored ? ConfigRecord::KeySource::Application
                                        : ConfigRecord::KeySource::Regenerate;
    const bool loaded = m_readBackConfig.timestamp[0] != '\0';
    // While a job runs nothing may start another on the same link.
    const bool free = !m_flashMode && !busy();
    c.configWrite = loaded && free;
    c.configRead = free;
    c.gatewareProgram = free;
    c.reset = free;
    c.ipMode = loaded && free;
    c.keySources = loaded && free;
    c.addressFields = loaded && staticChecked;
    return c;
}
