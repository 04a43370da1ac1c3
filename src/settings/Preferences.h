#pragma once

#include "discovery/LocatorConfig.h"

#include <QDialog>
#include <QList>
#include <QSettings>
#include <QStringList>

#include <memory>

class QListWidgetItem;

namespace Ui {
class Preferences;
}

// The application's settings dialog. Every change goes straight into the settings store; there is no Apply or
// Cancel. The main window creates it once, keeps it, and connects it to the MIDI input.
class Preferences : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kDefaultMaxVolume = 62;
    // The largest level the radio's volume command takes.
    static constexpr int kVolumeCeiling = 253;

    explicit Preferences(QWidget *parent = nullptr);
    ~Preferences() override;

    // The stored volume limit as the volume dial may use it: within 0..253, the default where the store holds
    // something that is not a number.
    static int storedMaxVolume(QSettings &settings);
    // Display name of a locator strategy as the list shows it.
    static QString locatorName(LocatorType type);

signals:
    // The chosen MIDI device changed; the MIDI input reopens and answers with midiStatusChanged.
    void reloadMidi();

public slots:
    void midiDevices(QStringList d);
    void midiStatusChanged(QString s);

private slots:
    void on_maxVolume_valueChanged(int value);
    void on_done_clicked();
    void on_setScript_clicked();
    void on_midiSelector_currentTextChanged(const QString &text);
    void on_clear_clicked();
    void on_doProxy_stateChanged(int state);
    void checkednessChanged(QListWidgetItem *item);
    void prioChanged();

private:
    // Shows what the store holds, writing nothing (but repairing an order the locator could not walk).
    void loadFromSettings();
    void loadLocatorList();
    void selectMidiDevice(const QStringList &entries, const QString &saved);
    void showVolume(int value);
    void showScript();

    std::unique_ptr<Ui::Preferences> ui;
    QSettings m_settings;
    // Set while the widgets are filled from the store or from the device list: what changes then is not the
    // user's choice and is not written back.
    bool m_loading = false;
};
