#pragma once

#include <QDialog>
#include <QSettings>

#include <functional>
#include <memory>

namespace Ui {
class PromptCredentials;
}

// "Radio Credentials": whether a key for the unit is stored, and its export to and import from a radio access file,
// the way a key reaches a computer that never had the unit on its USB port.
class PromptCredentials : public QDialog
{
    Q_OBJECT
public:
    // Asks the user for a file: (caption, default path, filter) → chosen path, empty when cancelled.
    using PathAsker = std::function<QString(const QString &, const QString &, const QString &)>;

    explicit PromptCredentials(QWidget *parent = nullptr);
    ~PromptCredentials() override;

    // The controller's reason why the link has no usable key, shown while no key is stored.
    void showWithHint(const QString &text);
    void showPlain();

    // Replace the file dialogs (tests; another front end). By default they are Qt's own.
    void setSavePathAsker(PathAsker asker) { m_askSavePath = std::move(asker); }
    void setOpenPathAsker(PathAsker asker) { m_askOpenPath = std::move(asker); }

    static QString defaultPath();

private slots:
    void on_cmdExport_clicked();
    void on_cmdImport_clicked();

private:
    void setView(const QString &hint);

    std::unique_ptr<Ui::PromptCredentials> ui;
    QSettings m_settings;
    PathAsker m_askSavePath;
    PathAsker m_askOpenPath;
};
