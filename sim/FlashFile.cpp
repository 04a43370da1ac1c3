#include "FlashFile.h"

#include "SimOptions.h"
#include "SimUnit.h"
#include "maintenance/ConfigRecord.h"
#include "maintenance/Crc32.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>

#include <cstring>

namespace {

bool create(const QString &path, const QByteArray &key, QString *error)
{
    QByteArray flash(FlashFile::kSize, '\xFF');
    UserConfiguration record;
    ConfigRecord::fromFields(ConfigRecord::Fields(), QDateTime::currentDateTime(), &record, nullptr);
    record.has_psk = true;
    record.psk.size = pb_size_t(key.size());
    std::memcpy(record.psk.bytes, key.constData(), size_t(key.size()));
    const QByteArray bytes = ConfigRecord::encode(record);
    flash.replace(int(ConfigRecord::kFlashAddress), bytes.size(), bytes);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(flash) != flash.size() || !file.commit()) {
        *error = QStringLiteral("Cannot create the flash file %1: %2").arg(path, file.errorString());
        return false;
    }
    qInfo().noquote() << "Created erased flash file" << path << "with a configuration record holding the key";
    return true;
}

} // namespace

quint32 FlashFile::imageCrc(const QByteArray &flash)
{
    return flashImageCrc(flash.constData(), size_t(flash.size()), ConfigRecord::kFlashAddress);
}

namespace {

// The key and CRC a unit booting from flash has; a random key when the record holds none.
void bootValues(const QString &path, const QByteArray &flash, SimOptions &options)
{
    options.flashCrc = FlashFile::imageCrc(flash);
    UserConfiguration record;
    QString decodeError;
    const QByteArray key = ConfigRecord::decode(flash.mid(int(ConfigRecord::kFlashAddress)), &record, &decodeError)
                               ? ConfigRecord::keyOf(record)
                               : QByteArray();
    qInfo().noquote() << "Flash" << path << QStringLiteral("image CRC %1,").arg(options.flashCrc, 8, 16, QChar('0'));
    if (key.size() == ConfigRecord::kKeyLength) {
        options.key = key;
        qInfo() << "Key from the configuration record";
        return;
    }
    // Nobody holds this key, so every handshake fails, as on a unit without one.
    QByteArray unknown(ConfigRecord::kKeyLength, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(unknown.data()), unknown.size() / 4);
    options.key = unknown;
    qWarning().noquote() << "Flash" << path << "holds no decodable key"
                         << (decodeError.isEmpty() ? QString() : QStringLiteral("(%1)").arg(decodeError))
                         << "- every handshake will be refused";
}

QByteArray readFlash(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Cannot read the flash file %1: %2").arg(path, file.errorString());
        return {};
    }
    return file.read(FlashFile::kSize);
}

} // namespace

bool FlashFile::boot(const QString &path, SimOptions &options, QString *error)
{
    if (!QFile::exists(path) && !create(path, options.key, error))
        return false;
    const QByteArray flash = readFlash(path, error);
    if (flash.isEmpty())
        return false;
    bootValues(path, flash, options);
    return true;
}

void FlashFile::watch(const QString &path, SimUnit *unit)
{
    auto *timer = new QTimer(unit);
    auto last = std::make_shared<QByteArray>(readFlash(path, nullptr));
    auto settledFor = std::make_shared<int>(-1); // polls since the last change; -1: nothing pending
    QObject::connect(timer, &QTimer::timeout, unit, [path, unit, last, settledFor] {
        const QByteArray now = readFlash(path, nullptr);
        if (now.isEmpty())
            return;
        if (now != *last) {
            *last = now;
            *settledFor = 0;
            return;
        }
        if (*settledFor < 0 || ++*settledFor < 4)
            return;
        *settledFor = -1;
        qInfo().noquote() << "The flash changed: the unit restarts";
        SimOptions options = unit->options();
        bootValues(path, now, options);
        unit->restart(options.key, options.flashCrc);
    });
    timer->start(250);
}
