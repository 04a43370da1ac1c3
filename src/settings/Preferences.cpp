#include "settings/Preferences.h"

#include "app/SettingsKeys.h"
#include "discovery/LocatorSettings.h"
#include "ui_Preferences.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidgetItem>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>

namespace {

const QString kNone = QStringLiteral("None");
const QString kNotSet = QStringLiteral("Not Set");

// Every strategy the list must show, in the order the store's defaults give them.
constexpr LocatorType kAllTypes[] = {LOC_PROXY_MDNS, LOC_DIRECT_MDNS, LOC_IP, LOC_DNS};

} // namespace

Preferences::Preferences(QWidget *parent)
    : QDialog(parent), ui(new Ui::Preferences), m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
{
    ui->setupUi(this);

    const QString octet = QStringLiteral("(?:[0-1]?[0-9]?[0-9]|2[0-4][0-9]|25[0-5])");
    const QRegularExpression address(QStringLiteral("^") + octet + QStringLiteral("\\.") + octet +
                                     QStringLiteral("\\.") + octet + QStringLiteral("\\.") + octet +
                                     QStringLiteral("$"));
    ui->deviceIp->setValidator(new QRegularExpressionValidator(address, ui->deviceIp));

    loadFromSettings();

    connect(ui->listWidget->model(), &QAbstractItemModel::rowsMoved, this, &Preferences::prioChanged);
    connect(ui->listWidget, &QListWidget::itemChanged, this, &Preferences::checkednessChanged);

    // Qt reads an incomplete address as another host ("192.168.1" is 192.168.0.1, "10" is 0.0.0.10), so the field
    // is stored only while it holds a whole one; the last whole address stays in force meanwhile.
    connect(ui->deviceIp, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (ui->deviceIp->hasAcceptableInput())
            alterExtendedPriority(m_settings, LOC_IP, text);
    });
    connect(ui->deviceDNS, &QLineEdit::textEdited, this,
            [this](const QString &text) { alterExtendedPriority(m_settings, LOC_DNS, text); });

    connect(ui->clearEnabler, &QGroupBox::toggled, ui->clear, &QWidget::setEnabled);
}

Preferences::~Preferences() = default;

int Preferences::storedMaxVolume(QSettings &settings)
{
    bool ok = false;
    const int value = settings.value(SettingsKeys::kMaxVolume, kDefaultMaxVolume).toInt(&ok);
    // A negative limit would reach the unit as a byte (-5 as volume 251); beyond 253 the radio takes no level.
    return ok ? qBound(0, value, kVolumeCeiling) : kDefaultMaxVolume;
}

QString Preferences::locatorName(LocatorType type)
{
    switch (type) {
    case LOC_PROXY_MDNS: return QStringLiteral("Proxy on LAN (Autolocate)");
    case LOC_DIRECT_MDNS: return QStringLiteral("Direct Connect on LAN (Autolocate)");
    case LOC_IP: return QStringLiteral("Connect by IP");
    case LOC_DNS: return QStringLiteral("Lookup by DNS");
    }
    return locatorKeyName(type);
}

void Preferences::loadFromSettings()
{
    m_loading = true;
    {
        const QSignalBlocker blockSlider(ui->maxVolume);
        const QSignalBlocker blockProxy(ui->doProxy);
        ui->maxVolume->setValue(storedMaxVolume(m_settings));
        ui->doProxy->setChecked(m_settings.value(SettingsKeys::kProxyMode, false).toBool());
    }
    showVolume(ui->maxVolume->value());

    loadLocatorList();
    const LocatorConfig config = LocatorConfig::load(m_settings);
    ui->deviceIp->setEnabled(config.enabled.value(LOC_IP, false));
    ui->deviceDNS->setEnabled(config.enabled.value(LOC_DNS, false));
    ui->deviceIp->setText(extendedSetting(m_settings, LOC_IP, QStringLiteral("0.0.0.0")));
    ui->deviceDNS->setText(extendedSetting(m_settings, LOC_DNS, QString()));

    showScript();

    // The device list stays as the MIDI input last reported it; only the selection follows the store.
    QStringList entries;
    for (int i = 0; i < ui->midiSelector->count(); ++i)
        entries << ui->midiSelector->itemText(i);
    selectMidiDevice(entries, m_settings.value(SettingsKeys::kMidiDevice, kNone).toString());
    m_loading = false;
}

void Preferences::loadLocatorList()
{
    const LocatorConfig config = LocatorConfig::load(m_settings);
    QList<LocatorType> order = config.order.values();
    bool walkable = config.order.size() == int(std::size(kAllTypes));
    for (int i = 0; walkable && i < order.size(); ++i)
        walkable = config.order.contains(i);
    // Positions that collide (or are missing, or not numbers) hide strategies from the order; the list still
    // shows all four, the hidden ones last.
    for (LocatorType type : kAllTypes) {
        if (!order.contains(type))
            order.append(type);
    }

    const QSignalBlocker block(ui->listWidget);
    ui->listWidget->clear();
    for (LocatorType type : qAsConst(order)) {
        auto *item = new QListWidgetItem(locatorName(type));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(config.enabled.value(type, false) ? Qt::Checked : Qt::Unchecked);
        item->setData(Qt::UserRole, int(type));
        ui->listWidget->addItem(item);
        qInfo().noquote() << "Add option" << locatorKeyName(type);
    }
    // The locator walks positions 0..3; a store it could not walk is rewritten to what the list shows.
    if (!walkable)
        prioChanged();
}

void Preferences::showVolume(int value)
{
    const double percent = double(value) / ui->maxVolume->maximum() * 100;
    ui->volLabel->setText(QStringLiteral("Maximum Volume: %1%").arg(percent, 3, 'f', 0));
}

void Preferences::showScript()
{
    // A value that is no text (a hand-edited store) reads as empty, which is as good as none.
    const QString path = m_settings.value(SettingsKeys::kScript).toString();
    ui->setScript->setText(path.isEmpty() ? kNotSet : path);
}

void Preferences::on_maxVolume_valueChanged(int value)
{
    showVolume(value);
    if (!m_loading)
        m_settings.setValue(SettingsKeys::kMaxVolume, value);
}

void Preferences::on_done_clicked()
{
    accept();
}

void Preferences::on_setScript_clicked()
{
    const QString current = m_settings.value(SettingsKeys::kScript, QString()).toString();
    const QString folder = QFileInfo(current).absolutePath();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Select QML Script to open"), folder,
                                                      QStringLiteral("QML File (*.qml)"));
    if (path.isEmpty())
        return;
    m_settings.setValue(SettingsKeys::kScript, path);
    showScript();
}

void Preferences::midiDevices(QStringList d)
{
    const QString saved = m_settings.value(SettingsKeys::kMidiDevice, kNone).toString();
    if (d.isEmpty()) {
        ui->midiSelector->setEnabled(false);
        d.prepend(saved);
    } else {
        // Devices plugged in later make the selector usable again.
        ui->midiSelector->setEnabled(true);
        d.prepend(kNone);
    }
    m_loading = true;
    ui->midiSelector->clear();
    ui->midiSelector->addItems(d);
    selectMidiDevice(d, saved);
    m_loading = false;
}

void Preferences::selectMidiDevice(const QStringList &entries, const QString &saved)
{
    const int at = entries.indexOf(saved);
    ui->midiSelector->setCurrentIndex(at < 0 ? 0 : at);
}

void Preferences::midiStatusChanged(QString s)
{
    ui->midiStatus->setText(s);
}

void Preferences::on_midiSelector_currentTextChanged(const QString &text)
{
    // Refilling the list selects entries too; only the user's pick is a choice. Storing the refill's "None" would
    // lose the saved controller whenever it is unplugged at start.
    if (m_loading || !ui->midiSelector->isEnabled())
        return;
    qInfo().noquote() << QStringLiteral("Saved midi device changed ") + text;
    m_settings.setValue(SettingsKeys::kMidiDevice, text);
    // The MIDI input says nothing when told to use no device; without this the status would still say "OK".
    if (text == kNone)
        midiStatusChanged(QStringLiteral("Midi Device Closed"));
    emit reloadMidi();
}

void Preferences::on_clear_clicked()
{
    const bool hadMidiDevice = m_settings.value(SettingsKeys::kMidiDevice, kNone).toString() != kNone;
    m_settings.clear();
    qInfo().noquote() << "All settings removed";
    // Show the now empty store, so that nothing erased is still on screen as if it were in force.
    loadFromSettings();
    ui->clearEnabler->setChecked(false);
    if (hadMidiDevice) {
        midiStatusChanged(QStringLiteral("Midi Device Closed"));
        emit reloadMidi();
    }
}

void Preferences::on_doProxy_stateChanged(int)
{
    m_settings.setValue(SettingsKeys::kProxyMode, ui->doProxy->isChecked());
}

void Preferences::checkednessChanged(QListWidgetItem *item)
{
    const LocatorType type = LocatorType(item->data(Qt::UserRole).toInt());
    bool checked = item->checkState() == Qt::Checked;
    bool anyChecked = false;
    for (int i = 0; i < ui->listWidget->count(); ++i)
        anyChecked = anyChecked || ui->listWidget->item(i)->checkState() == Qt::Checked;
    if (!anyChecked) {
        qInfo().noquote() << "Override uncheck of last checked item";
        const QSignalBlocker block(ui->listWidget);
        item->setCheckState(Qt::Checked);
        checked = true;
    }
    alterLocatorEnable(m_settings, type, checked);
    if (type == LOC_IP)
        ui->deviceIp->setEnabled(checked);
    else if (type == LOC_DNS)
        ui->deviceDNS->setEnabled(checked);
}

void Preferences::prioChanged()
{
    for (int i = 0; i < ui->listWidget->count(); ++i)
        alterLocatorPriority(m_settings, LocatorType(ui->listWidget->item(i)->data(Qt::UserRole).toInt()), i);
}
