// The main window's preferences dialog and update checker.
#include "ui/MainWindow.h"

#include "script/Midi.h"
#include "settings/Preferences.h"
#include "settings/Updater.h"
#include "ui_MainWindow.h"

void MainWindow::setupSettings()
{
    // No parent: the dialog is a window of its own, kept for the main window's whole life.
    m_preferences = std::make_unique<Preferences>();
    Preferences *preferences = m_preferences.get();
    connect(preferences, &Preferences::reloadMidi, m_midi, &Midi::reloadMidi);
    connect(m_midi, &Midi::midiStatusChanged, preferences, &Preferences::midiStatusChanged);
    preferences->midiDevices(m_midi->listInputDevices());
    m_midi->setScriptApi(m_scriptApi);

    connect(ui->actionSettings, &QAction::triggered, preferences, &QWidget::show);
    // Every change is stored at once, whichever way the dialog is left (Done, Esc, the title bar): the volume
    // limit follows on any close, not only on Done.
    connect(preferences, &QDialog::finished, this, &MainWindow::settingsChanged);
    preferences->setModal(true);

    m_updater = std::make_unique<Updater>(ui->actionCheck_for_Updates, Updater::builtInFeed());
}
