#include "maintenance/Firmware.h"

#include "app/AppPlatform.h"
#include "maintenance/Blobs.h"
#include "maintenance/FtdiTransport.h"
#include "maintenance/PrintSink.h"
#include "maintenance/StoredKeyCheck.h"
#include "ui_Firmware.h"

#include <QDebug>
#include <QErrorMessage>
#include <QMessageBox>
#include <QPushButton>
#include <QRegExpValidator>
#include <QRegularExpression>
#include <QTimerEvent>

const char Firmware::kUpdateQuestion[] =
    "Updating erases the unit's flash and writes the firmware again. The unit cannot start until the update "
    "has finished. Update the firmware now?";
const char Firmware::kRegenerateQuestion[] =
    "A new key logs out every other computer that uses this unit, until each imports the new radio access file. "
    "Write the configuration with a new key?";

namespace {

constexpr int kPageNotPresent = 0;
constexpr int kPageBadDriver = 1;
constexpr int kPagePresent = 2;

void installAddressRules(QLineEdit *edit)
{
    // One octet, as the input mask leaves it: blanks, or up to three digits up to 255.
    const QString octet = QStringLiteral("(([ 0]+)|([ 0]*[0-9] *)|([0-9][0-9] )|([ 0][0-9][0-9])|(1[0-9][0-9])|"
                                         "([2][0-4][0-9])|(25[0-5]))");
    const QRegExp pattern(QStringLiteral("^%1\\.%1\\.%1\\.%1$").arg(octet), Qt::CaseSensitive);
    edit->setValidator(new QRegExpValidator(pattern, edit));
    edit->setInputMask(QStringLiteral("000.000.000.000"));
    edit->setCursorPosition(0);
}

} // namespace

Firmware::Firmware(QWidget *parent, const Blobs *blobs, std::function<void()> pauseOneMs)
    : QDialog(parent), ui(new Ui::Firmware)
{
    ui->setupUi(this);
    if (!blobs) {
        m_ownBlobs = std::make_unique<Blobs>();
        blobs = m_ownBlobs.get();
    }
    FirmwareJobs::Hooks hooks;
    // The jobs log their lines themselves; the window only shows them.
    hooks.statusLine = [this](const QString &text) { appendStatus(text); };
    hooks.controlsChanged = [this] { setControlState(); };
    hooks.pauseOneMs = std::move(pauseOneMs);
    m_jobs = std::make_unique<FirmwareJobs>(blobs, std::move(hooks));
    m_asker = [](QMessageBox &box) { return box.exec(); };

    // The console adds up to a line per tick for as long as it is open.
    ui->statusLog->setMaximumBlockCount(kStatusLogLines);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &QWidget::close);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QWidget::close);

    setAttribute(Qt::WA_QuitOnClose, false);
    m_timerId = startTimer(m_timerPeriod, Qt::CoarseTimer);

    for (QLineEdit *edit : {ui->ipStaticAddr, ui->ipStaticMask, ui->ipStaticGateway, ui->ipStaticDNS})
        installAddressRules(edit);

#ifndef Q_OS_WIN
    ui->label_6->setText(AppPlatform::usbUnusableHint());
#endif
    switch (AppPlatform::instance().detectUsbDevice()) {
    case AppPlatform::UsbPresentUsable: ui->usbStacked->setCurrentIndex(kPagePresent); break;
    case AppPlatform::UsbPresentUnusable: ui->usbStacked->setCurrentIndex(kPageBadDriver); break;
    case AppPlatform::UsbNotPresent: ui->usbStacked->setCurrentIndex(kPageNotPresent); break;
    }

    setControlState();
    connect(ui->ipStatic, &QRadioButton::clicked, this, &Firmware::setControlState);
    connect(ui->ipDHCP, &QRadioButton::clicked, this, &Firmware::setControlState);

    StoredKeyCheck::checkStoredKey();
}

Firmware::~Firmware()
{
    // The jobs close the JTAG link (with its status line) while the widgets still exist.
    m_jobs.reset();
}

void Firmware::appendStatus(const QString &text)
{
    ui->statusLog->appendPlainText(text);
}

void Firmware::statusLine(const QString &text)
{
    appendStatus(text);
    qInfo().noquote() << text;
}

void Firmware::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timerId) {
        QDialog::timerEvent(event);
        return;
    }
    // Prints were logged as they were made; here they only reach the window.
    if (PrintSink::pending())
        appendStatus(PrintSink::takePending());
    pollConsole();
    m_jobs->tick();
    followTickPeriod();
}

void Firmware::followTickPeriod()
{
    // The jobs report flash mode changes, but a job that ends after its last
    // flash step would leave the buttons off; its start and end count too.
    if (m_jobs->busy() != m_jobsBusy) {
        m_jobsBusy = m_jobs->busy();
        setControlState();
    }
    // An update runs at 0 ms (one step per pass of the event loop) until the unit restarts.
    const int period = m_jobs->tickPeriodMs();
    if (period == m_timerPeriod)
        return;
    killTimer(m_timerId);
    m_timerPeriod = period;
    m_timerId = startTimer(m_timerPeriod, Qt::CoarseTimer);
}

bool Firmware::confirm(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return m_asker(box) == QMessageBox::Yes;
}

void Firmware::gotCRC32FromApplication(quint32 crc32)
{
    if (!m_crcReported || crc32 != m_reportedCrc)
        qInfo().noquote() << QStringLiteral("Unit reports flash image CRC %1").arg(crc32, 8, 16, QLatin1Char('0'));
    m_reportedCrc = crc32;
    m_crcReported = true;
    if (!m_jobs->gotCRC32FromApplication(crc32))
        return;
    auto *message = new QErrorMessage;
    message->setAttribute(Qt::WA_DeleteOnClose);
    message->showMessage(QString::fromLatin1(FirmwareJobs::kVersionWarning));
}

void Firmware::on_reset_clicked()
{
    m_jobs->reboot();
    followTickPeriod();
}

void Firmware::on_log_clicked()
{
    std::unique_ptr<FtdiTransport> console = makeFtdiTransport();
    if (!console || console->init() < 0) {
        statusLine(QStringLiteral("ftdi_new failed"));
        return;
    }
    console->setInterface(FtdiTransport::InterfaceB);
    statusLine(QStringLiteral("Open Console Device"));
    const int rc = console->open(0x0403, 0x6010);
    if (rc < 0) {
        statusLine(QStringLiteral("Failed to open FTDI device: %1 (%2)")
                       .arg(rc)
                       .arg(QString::fromLatin1(console->errorString())));
        statusLine(QStringLiteral("USB device plugged in?"));
        console->deinit();
        return;
    }
    statusLine(QStringLiteral("Open OK, streaming console"));
    console->setBaudRate(kConsoleBaud);
    console->setLineProperties(FtdiTransport::Bits8, FtdiTransport::StopBit1, FtdiTransport::ParityNone);
    m_console = std::move(console);
    ui->log->setEnabled(false);
}

void Firmware::pollConsole()
{
    if (!m_console)
        return;
    unsigned char buffer[kConsoleReadBytes];
    const int n = m_console->readData(buffer, kConsoleReadBytes);
    if (n > 0) {
        // ANSI control sequences (colours, cursor moves) mean nothing in a plain text log.
        static const QRegularExpression escapes(QStringLiteral("\x1b\\[[0-9;]*[a-zA-Z]"));
        statusLine(QString::fromLatin1(reinterpret_cast<const char *>(buffer), n).remove(escapes));
    } else if (n < 0) {
        statusLine(QStringLiteral("Error during read of serial port %1 (%2)")
                       .arg(n)
                       .arg(QString::fromLatin1(m_console->errorString())));
        statusLine(QStringLiteral("Closing port"));
        closeConsole();
    }
}

void Firmware::closeConsole()
{
    m_console->close();
    m_console->deinit();
    m_console.reset();
    ui->log->setEnabled(true);
}

void Firmware::on_gateware_program_clicked()
{
    if (!confirm(tr("Update Firmware"), QString::fromLatin1(kUpdateQuestion)))
        return;
    m_jobs->startUpdate();
    followTickPeriod();
}

void Firmware::on_configRead_clicked()
{
    ConfigRecord::Fields shown = fields();
    if (m_jobs->readConfiguration(&shown))
        showFields(shown);
    setControlState();
}

void Firmware::on_configWrite_clicked()
{
    if (ui->raf_regen->isChecked() && !confirm(tr("Write Configuration"), QString::fromLatin1(kRegenerateQuestion)))
        return;
    m_jobs->startConfigWrite(fields());
    followTickPeriod();
}

void Firmware::setControlState()
{
    const FirmwareJobs::Controls c = m_jobs->controlState(ui->ipStatic->isChecked());
    switch (c.defaultKeySource) {
    case ConfigRecord::KeySource::Unit: ui->raf_vq6020->setChecked(true); break;
    case ConfigRecord::KeySource::Application: ui->raf_this->setChecked(true); break;
    case ConfigRecord::KeySource::Regenerate: ui->raf_regen->setChecked(true); break;
    }
    ui->configWrite->setEnabled(c.configWrite);
    ui->configRead->setEnabled(c.configRead);
    ui->gateware_program->setEnabled(c.gatewareProgram);
    ui->reset->setEnabled(c.reset);
    for (QWidget *w : {static_cast<QWidget *>(ui->ipDHCP), static_cast<QWidget *>(ui->ipStatic)})
        w->setEnabled(c.ipMode);
    for (QWidget *w : {ui->raf_regen, ui->raf_vq6020, ui->raf_this})
        w->setEnabled(c.keySources);
    for (QWidget *w : {ui->ipStaticAddr, ui->ipStaticMask, ui->ipStaticGateway, ui->ipStaticDNS})
        w->setEnabled(c.addressFields);
}

ConfigRecord::Fields Firmware::fields() const
{
    ConfigRecord::Fields f;
    f.dhcp = ui->ipDHCP->isChecked();
    f.address = ui->ipStaticAddr->text();
    f.mask = ui->ipStaticMask->text();
    f.gateway = ui->ipStaticGateway->text();
    f.dns = ui->ipStaticDNS->text();
    f.keySource = ui->raf_regen->isChecked()  ? ConfigRecord::KeySource::Regenerate
                  : ui->raf_this->isChecked() ? ConfigRecord::KeySource::Application
                                              : ConfigRecord::KeySource::Unit;
    return f;
}

void Firmware::showFields(const ConfigRecord::Fields &f)
{
    ui->ipStatic->setChecked(!f.dhcp);
    ui->ipDHCP->setChecked(f.dhcp);
    ui->ipStaticAddr->setText(f.address);
    ui->ipStaticMask->setText(f.mask);
    ui->ipStaticGateway->setText(f.gateway);
    ui->ipStaticDNS->setText(f.dns);
}
