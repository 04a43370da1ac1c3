#pragma once

#include "script/MidiBackend.h"
#include "script/ScriptAPI.h"

#include <QJSValue>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <memory>

// Reads one MIDI input device and turns its messages into radio actions, as bindings that the user's extension
// makes (it reaches this object as the singleton MIDI) decide. Bytes from a script are taken modulo 256.
class Midi : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPollMs = 33;
    static constexpr int kBufferEvents = 1024;
    static constexpr int kReadBatch = 32;
    // A flood of messages waits for the next tick rather than freezing the window.
    static constexpr int kMaxMessagesPerTick = 1024;

    // pollIntervalMs 0 leaves polling to whoever calls poll() (tests).
    explicit Midi(std::unique_ptr<MidiBackend> backend, QObject *parent = nullptr, int pollIntervalMs = kPollMs);
    ~Midi() override;

    void setScriptApi(ScriptAPI *api) { m_api = api; }
    // Names of the input devices, for the preferences.
    QStringList listInputDevices();
    bool isOpen() const { return m_open; }
    // Forgets the callback bindings, whose function values must not outlive the engine that made them.
    void dropCallbacks() { m_callbacks.clear(); }

    Q_INVOKABLE void ignore(int status, int data1);
    Q_INVOKABLE void bindButton(int status, int data1, int data2, ScriptAPI::FrontPanelButton button,
                                int durationMs = ScriptAPI::kDefaultHoldMs);
    Q_INVOKABLE void bindAbsoluteEncoder(int status, int data1, ScriptAPI::AbsoluteEncoder encoder,
                                         int sliderMax = 127);
    Q_INVOKABLE void bindRelativeEncoder(int status, int data1, ScriptAPI::RelativeEncoder encoder);
    Q_INVOKABLE void bind(int status, int data1, QJSValue callback, bool velocityIsSigned = false);
    Q_INVOKABLE QString connectedDeviceName() const;

    // "0xss 0xdd 0xvv" of a message or key.
    static QString keyText(uint32_t message);

signals:
    void midiStatusChanged(QString status);
    // A bound callback failed; the text says where and why.
    void scriptError(QString text);

public slots:
    void reloadMidi();
    void clearBindings();
    // One polling step: dispatches what the device has, at most kMaxMessagesPerTick messages.
    void poll();
    void dispatch(uint32_t message);

private:
    void closeDevice();

    std::unique_ptr<MidiBackend> m_backend;
    QSettings m_settings;
    QTimer m_timer;
    bool m_open = false;
    bool m_haveDevice = false;
    QString m_deviceName;
    QPointer<ScriptAPI> m_api;
    QMap<uint32_t, QPair<ScriptAPI::FrontPanelButton, int>> m_buttons;
    QMap<uint32_t, QPair<ScriptAPI::AbsoluteEncoder, double>> m_absolute;
    QMap<uint32_t, ScriptAPI::RelativeEncoder> m_relative;
    QMap<uint32_t, QPair<QJSValue, bool>> m_callbacks;
    QSet<uint32_t> m_ignored;
};
