#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVersionNumber>

#include <memory>

class QAction;
class QMessageBox;
class QNetworkAccessManager;
class QNetworkReply;
class QWidget;
struct UpdaterCheck;

// Tells the user when a newer version exists. It keeps the start-up pattern of the desktop update frameworks:
// configured with the feed at construction, started 500 ms later (so the main window appears first), then one
// automatic check at once and one a day, and a check on demand from the menu action. It only reads an RSS appcast
// and points the user at the download page; nothing is downloaded or installed, so no signing key is involved.
// Distribution packages update through the package manager: an empty feed address switches checks off.
class Updater : public QObject
{
    Q_OBJECT
public:
    static constexpr int kStartDelayMs = 500;
    static constexpr int kAutomaticIntervalMs = 24 * 60 * 60 * 1000;
    static constexpr int kDefaultTimeoutMs = 30000;
    static constexpr qint64 kMaxFeedBytes = 1024 * 1024;
    static constexpr int kMaxRedirects = 5;

    struct Release {
        QVersionNumber version;
        QString versionText;  // as the feed writes it; what a skipped version is stored as
        QString shownVersion; // the short version string when the feed has one
        QString title;
        QUrl url; // the page or file to open in the browser; empty when the feed gave none usable
    };
    struct Feed {
        bool ok = false;
        QString error; // why the feed is unusable
        int items = 0; // items with a version that parses
        Release newest;
    };
    // Reads an RSS appcast: every item's version (on the item or its enclosure), link or enclosure URL and title;
    // items whose version does not parse are skipped.
    static Feed parseAppcast(const QByteArray &xml);

    // The feed this build checks (the VQ6020_UPDATE_FEED CMake value); empty when checks are off.
    static QUrl builtInFeed();

    // action: the menu action that asks for a check; its parent widget becomes the parent of the answer box.
    Updater(QAction *action, const QUrl &feed, QObject *parent = nullptr);
    ~Updater() override;

    // How long a check may wait for the server; tests shorten it.
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }
    bool isInitialised() const { return m_initialised; }
    bool isChecking() const { return m_reply != nullptr; }
    QString runningVersion() const { return m_running.toString(); }

signals:
    // A check ended (also when it failed); nothing is emitted for a check cut short by destruction.
    void checkFinished(bool ok);

private:
    void init();
    void onTriggered();
    void check(bool withUi);
    // Takes a piece of what arrived, up to the size limit; the check ends once the answer is complete and read.
    void readSome();
    // Tells the user what the complete answer says.
    void finish();
    // Ends the check in flight with reason.
    void fail(const QString &reason);
    void reportFailure(QString reason);
    void showBox(const QString &text, const Release *offer);

    QAction *m_action;
    QPointer<QWidget> m_boxParent;
    QUrl m_feed;
    QVersionNumber m_running;
    QSettings m_settings;
    QTimer m_automatic;
    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;
    QTimer m_deadline;
    std::unique_ptr<UpdaterCheck> m_check;
    bool m_withUi = false;
    bool m_initialised = false;
    int m_timeoutMs = kDefaultTimeoutMs;
    QPointer<QMessageBox> m_box;
};
