#include "script/Midi.h"

#include "app/SettingsKeys.h"

#include <QDebug>
#include <QMetaEnum>

namespace {

uint32_t shortKey(int status, int data1)
{
    return uint32_t(status & 0xFF) | uint32_t(data1 & 0xFF) << 8;
}

template <typename E> QString enumName(int value)
{
    const char *key = QMetaEnum::fromType<E>().valueToKey(value);
    return key ? QString::fromLatin1(key) : QString::number(value);
}

// data2 as a seven-bit two's-complement number: 1..63 forward, 64..127 back.
int signedSeven(uint32_t message)
{
    const int v = int(message >> 16) & 0x7F;
    return v >= 64 ? v - 128 : v;
}

} // namespace

Midi::Midi(std::unique_ptr<MidiBackend> backend, QObject *parent, int pollIntervalMs)
    : QObject(parent), m_backend(std::move(backend)),
      m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
{
    reloadMidi();
    connect(&m_timer, &QTimer::timeout, this, &Midi::poll);
    if (pollIntervalMs > 0) {
        m_timer.setTimerType(Qt::CoarseTimer);
        m_timer.start(pollIntervalMs);
    }
}

Midi::~Midi()
{
    closeDevice();
}

QString Midi::keyText(uint32_t message)
{
    return QStringLiteral("0x%1 0x%2 0x%3")
        .arg(message & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((message >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((message >> 16) & 0xFF, 2, 16, QLatin1Char('0'));
}

QStringList Midi::listInputDevices()
{
    qInfo().noquote() << "MIDI: Enumerating";
    QStringList names;
    const int n = m_backend->count();
    for (int i = 0; i < n; ++i) {
        const MidiBackend::DeviceInfo info = m_backend->info(i);
        if (!info.input)
            continue;
        names << info.name;
        qInfo().noquote() << QStringLiteral("MIDI Device ") + info.name;
    }
    const QString text = QStringLiteral("Found %1 MIDI Input Devices.").arg(names.size());
    qInfo().noquote() << QStringLiteral("MIDI: ") + text;
    emit midiStatusChanged(text);
    return names;
}

void Midi::reloadMidi()
{
    qInfo().noquote() << "MIDI: Reloading Module.";
    if (m_open) {
        m_backend->close();
        m_open = false;
    }
    // A device that failed to open is forgotten too, or it would still be named after "None" was chosen.
    m_haveDevice = false;
    m_deviceName.clear();
    const QString name = m_settings.value(SettingsKeys::kMidiDevice, QStringLiteral("None")).toString();
    if (name == QLatin1String("None"))
        return;
    QString status = QStringLiteral("MIDI Device Not Found (%1)").arg(name);
    const int n = m_backend->count();
    for (int i = 0; i < n; ++i) {
        const MidiBackend::DeviceInfo info = m_backend->info(i);
        // A two-way port is listed twice under one name, its output first; only the input can be opened as one.
        if (info.name != name || !info.input)
            continue;
        m_haveDevice = true;
        m_deviceName = info.name;
        qInfo().noquote() << QStringLiteral("MIDI: Found saved MIDI Device: ") + name;
        const int err = m_backend->open(i, kBufferEvents);
        if (err != 0) {
            status = QStringLiteral("MIDI Device Failed (%1, %2), code %3").arg(name).arg(i).arg(err);
        } else {
            m_open = true;
            status = QStringLiteral("MIDI Device OK (%1, %2)").arg(name).arg(i);
            qInfo().noquote() << status;
        }
        break;
    }
    emit midiStatusChanged(status);
}

void Midi::closeDevice()
{
    if (!m_open)
        return;
    const QString text = QStringLiteral("Midi Device Closed");
    qInfo().noquote() << text;
    emit midiStatusChanged(text);
    m_backend->close();
    m_open = false;
}

void Midi::poll()
{
    int handled = 0;
    int last = 0;
    uint32_t batch[kReadBatch];
    while (m_open && handled < kMaxMessagesPerTick) {
        last = m_backend->read(batch, kReadBatch);
        if (last <= 0)
            break;
        for (int i = 0; i < last && i < kReadBatch; ++i)
            dispatch(batch[i]);
        handled += last;
    }
    if (last < 0) {
        qWarning().noquote() << QStringLiteral("MIDI Error %1").arg(last);
        closeDevice();
    }
}

void Midi::dispatch(uint32_t message)
{
    message &= 0xFFFFFF;
    const uint32_t key = message & 0xFFFF;
    const QString text = keyText(message);
    if (m_buttons.contains(message)) {
        const auto binding = m_buttons.value(message);
        qInfo().noquote() << QStringLiteral("MIDI %1 button press: %2")
                                 .arg(text, enumName<ScriptAPI::FrontPanelButton>(binding.first));
        if (m_api) {
            m_api->press(binding.first, binding.second);
            return;
        }
    }
    if (m_absolute.contains(key)) {
        const auto binding = m_absolute.value(key);
        const double fraction = double((message >> 16) & 0xFF) / binding.second;
        qInfo().noquote() << QStringLiteral("MIDI %1 absoulte move %2 to %3 %")
                                 .arg(text, enumName<ScriptAPI::AbsoluteEncoder>(binding.first))
                                 .arg(fraction * 100);
        if (m_api)
            m_api->encoderSet(binding.first, fraction);
        return;
    }
    if (m_relative.contains(key)) {
        const ScriptAPI::RelativeEncoder encoder = m_relative.value(key);
        const int ticks = signedSeven(message);
        qInfo().noquote() << QStringLiteral("MIDI %1 relative move %2 to %3 %")
                                 .arg(text, enumName<ScriptAPI::RelativeEncoder>(encoder))
                                 .arg(ticks);
        if (m_api)
            m_api->encoderAdjust(encoder, ticks);
        return;
    }
    if (m_callbacks.contains(key)) {
        const auto binding = m_callbacks.value(key);
        QJSValue callback = binding.first;
        const int velocity = binding.second ? signedSeven(message) : int((message >> 16) & 0xFF);
        // A function of an extension that was closed since belongs to an engine that is gone.
        if (callback.isCallable()) {
            const QJSValue result = callback.call(
                {QJSValue(int(message & 0xFF)), QJSValue(int((message >> 8) & 0xFF)), QJSValue(velocity)});
            if (result.isError())
                emit scriptError(ScriptAPI::describeError(result));
        }
        return;
    }
    if (m_ignored.contains(key))
        return;
    qInfo().noquote() << QStringLiteral("Unhandeled MIDI Event: %1").arg(text);
}

void Midi::ignore(int status, int data1)
{
    const uint32_t key = shortKey(status, data1);
    m_ignored.insert(key);
    qInfo().noquote() << QStringLiteral("MIDI %1 ignored").arg(keyText(key));
}

void Midi::bindButton(int status, int data1, int data2, ScriptAPI::FrontPanelButton button, int durationMs)
{
    const uint32_t key = shortKey(status, data1) | uint32_t(data2 & 0xFF) << 16;
    m_buttons.insert(key, qMakePair(button, durationMs));
    qInfo().noquote()
        << QStringLiteral("MIDI %1 bound to %2").arg(keyText(key), enumName<ScriptAPI::FrontPanelButton>(button));
}

void Midi::bindAbsoluteEncoder(int status, int data1, ScriptAPI::AbsoluteEncoder encoder, int sliderMax)
{
    const uint32_t key = shortKey(status, data1);
    // A slider maximum of 0 would divide by zero, a negative one turn the control backwards past its end.
    if (sliderMax <= 0) {
        qWarning().noquote()
            << QStringLiteral("MIDI %1 not bound: slider maximum %2 is not positive").arg(keyText(key)).arg(sliderMax);
        return;
    }
    m_absolute.insert(key, qMakePair(encoder, double(sliderMax)));
    qInfo().noquote()
        << QStringLiteral("MIDI %1 bound to %2").arg(keyText(key), enumName<ScriptAPI::AbsoluteEncoder>(encoder));
}

void Midi::bindRelativeEncoder(int status, int data1, ScriptAPI::RelativeEncoder encoder)
{
    const uint32_t key = shortKey(status, data1);
    m_relative.insert(key, encoder);
    qInfo().noquote()
        << QStringLiteral("MIDI %1 bound to %2").arg(keyText(key), enumName<ScriptAPI::RelativeEncoder>(encoder));
}

void Midi::bind(int status, int data1, QJSValue callback, bool velocityIsSigned)
{
    if (!callback.isCallable()) {
        qWarning().noquote() << "Provided callback is not callable, did not bind";
        return;
    }
    const uint32_t key = shortKey(status, data1);
    m_callbacks.insert(key, qMakePair(callback, velocityIsSigned));
    qInfo().noquote() << QStringLiteral("MIDI %1 bound to callback").arg(keyText(key));
}

QString Midi::connectedDeviceName() const
{
    return m_haveDevice ? m_deviceName : QStringLiteral("None");
}

void Midi::clearBindings()
{
    // Button bindings stay until a new binding of the same key replaces them.
    m_absolute.clear();
    m_relative.clear();
    m_callbacks.clear();
    m_ignored.clear();
}
