#include "maintenance/PromptCredentials.h"

#include "app/SettingsKeys.h"
#include "maintenance/AccessFileCodec.h"
#include "ui_PromptCredentials.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

namespace {
const QString kCaption = QStringLiteral("Save File");
const QString kFilter = QStringLiteral("Text Files (*.txt)");
} // namespace

PromptCredentials::PromptCredentials(QWidget *parent)
    : QDialog(parent), ui(new Ui::PromptCredentials),
      m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication),
      m_askSavePath([this](const QString &caption, const QString &path, const QString &filter) {
          return QFileDialog::getSaveFileName(this, caption, path, filter);
      }),
      m_askOpenPath([this](const QString &caption, const QString &path, const QString &filter) {
          return QFileDialog::getOpenFileName(this, caption, path, filter);
      })
{
    ui->setupUi(this);
}

PromptCredentials::~PromptCredentials() = default;

QString PromptCredentials::defaultPath()
{
    return QStringLiteral("%1/radioAccessFile.txt")
        .arg(QStandardPaths::locate(QStandardPaths::DocumentsLocation, QString(), QStandardPaths::LocateDirectory));
}

void PromptCredentials::showWithHint(const QString &text)
{
    setView(text);
}

void PromptCredentials::showPlain()
{
    setView(QString());
    ui->helpfulMessage->hide();
}

void PromptCredentials::setView(const QString &hint)
{
    const bool present = m_settings.contains(SettingsKeys::kNetPsk);
    ui->cmdImport->setEnabled(true);
    ui->cmdExport->setEnabled(present);
    ui->keyStatus->setText(present ? QStringLiteral("Key present") : QStringLiteral("Not Set"));
    ui->helpfulMessage->setText(hint);
    ui->helpfulMessage->setVisible(!present);
    for (QAbstractButton *button : ui->buttonBox->buttons())
        button->setEnabled(true);
    show();
}

void PromptCredentials::on_cmdExport_clicked()
{
    const QByteArray key = m_settings.value(SettingsKeys::kNetPsk).toByteArray();
    const QByteArray text = AccessFile::encode(key);
    if (text.isEmpty()) {
        ui->keyStatus->setText(QStringLiteral("Failed, no key to export"));
        qWarning().noquote() << QStringLiteral("Failed, no key to export") << key.size() + 1;
        return;
    }

    const QString path = m_askSavePath(kCaption, defaultPath(), kFilter);
    // Written beside the target and renamed over it only when complete: a full disk or a vanished folder leaves the
    // old file (or none), never a truncated one that would be taken for a key.
    QSaveFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qWarning().noquote() << "Failed to open file for writing " + path;
        ui->keyStatus->setText(QStringLiteral("Failed to open file"));
        return;
    }
    QTextStream stream(&file);
    stream << QString::fromLatin1(text);
    stream.flush();
    if (stream.status() != QTextStream::Ok || !file.commit()) {
        qWarning().noquote() << QStringLiteral("Failed to write file %1: %2").arg(path, file.errorString());
        ui->keyStatus->setText(QStringLiteral("Failed to write file"));
        return;
    }
    ui->keyStatus->setText(QStringLiteral("Key exported"));
    qInfo().noquote() << "Key exported to " + path;
}

void PromptCredentials::on_cmdImport_clicked()
{
    const QString path = m_askOpenPath(kCaption, defaultPath(), kFilter);
    const QFileInfo info(path);
    QFile file(path);
    // Only a regular file: opening a FIFO or a device would block the window or read without end.
    if (path.isEmpty() || !info.isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning().noquote() << "Failed to open file for reading " + path;
        ui->keyStatus->setText(QStringLiteral("Failed to open file"));
        return;
    }
    const QByteArray raw = file.read(AccessFile::kMaxFileBytes + 1);
    file.close();
    const AccessFile::Decoded decoded = AccessFile::decodeFileContent(raw);
    if (decoded.result == AccessFile::Decoded::BadFormat) {
        ui->keyStatus->setText(QStringLiteral("Key file incorrect format"));
        qWarning().noquote() << "Key file incorrect format " + path;
        return;
    }
    if (decoded.result == AccessFile::Decoded::BadCrc) {
        ui->keyStatus->setText(QStringLiteral("Key file failed integrity check"));
        qWarning().noquote() << QStringLiteral("Key file CRC Wrong. Expected:%1.Got : %2")
                                    .arg(decoded.computed, 0, 16)
                                    .arg(decoded.stored, 0, 16);
        return;
    }
    qInfo().noquote() << "Key import passed validity checks, saving.";
    m_settings.setValue(SettingsKeys::kNetPsk, decoded.key);
    m_settings.sync();
    setView(QString());
    ui->helpfulMessage->hide();
}
