#include "settings/Updater.h"

#include "app/SettingsKeys.h"

#include <QAction>
#include <QDebug>
#include <QDesktopServices>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QSslError>
#include <QVector>
#include <QXmlStreamReader>

namespace {

const QString kBoxTitle = QStringLiteral("Software Update");
const QString kChecksOff = QStringLiteral("Update checks are off in this build.");
constexpr qint64 kReadChunk = 64 * 1024;
// About 2 ms of parsing on a slow machine.
constexpr qint64 kParsePiece = 16 * 1024;

// A whole version number ("1.0.31"): dot-separated decimal numbers, nothing before, between or after them. Read by
// hand: QVersionNumber::fromString's suffix index, built by g++ 12 at -O2, compares as if it had never been written.
QVersionNumber parseVersion(const QString &raw, bool *ok)
{
    *ok = false;
    const QString text = raw.trimmed();
    if (text.isEmpty() || text.size() > 64)
        return {};
    QVector<int> segments;
    for (const QString &part : text.split(QLatin1Char('.'))) {
        if (part.isEmpty() || part.size() > 9)
            return {};
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return {};
        segments.append(part.toInt());
    }
    *ok = true;
    return QVersionNumber(segments);
}

// Only a web page may be handed to the browser: a feed must not make the desktop open files or run handlers.
QUrl webUrl(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
                   (scheme == QLatin1String("https") || scheme == QLatin1String("http"))
               ? url
               : QUrl();
}

// Reads an RSS appcast as it arrives, so that a large feed is parsed a piece per network read instead of in one
// long stall of the window. QXmlStreamReader never fetches anything external; a document type declaration (the
// only place entities could be declared) is refused, as an appcast has no use for one.
class AppcastReader
{
public:
    AppcastReader() { m_xml.setNamespaceProcessing(false); }

    void addData(const QByteArray &data)
    {
        m_xml.addData(data);
        run();
    }

    Updater::Feed finish()
    {
        Updater::Feed feed;
        if (m_error.isEmpty() && !m_ended)
            m_error = invalid();
        if (m_error.isEmpty() && m_itemsSeen == 0)
            m_error = QStringLiteral("the feed lists no versions");
        if (m_error.isEmpty() && m_items == 0)
            m_error = QStringLiteral("the feed lists no version that can be read");
        feed.ok = m_error.isEmpty();
        feed.error = m_error;
        feed.items = m_items;
        feed.newest = m_newest;
        return feed;
    }

private:
    enum Field { None, Version, ShortVersion, Title, Link };

    QString invalid() const
    {
        QString why = m_xml.errorString();
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        return QStringLiteral("the feed is not valid XML (%1, line %2)").arg(why).arg(m_xml.lineNumber());
    }

    void run()
    {
        while (m_error.isEmpty() && !m_ended) {
            const QXmlStreamReader::TokenType token = m_xml.readNext();
            switch (token) {
            case QXmlStreamReader::Invalid:
                // More may come: the network hands the feed over in pieces.
                if (m_xml.error() != QXmlStreamReader::PrematureEndOfDocumentError)
                    m_error = invalid();
                return;
            case QXmlStreamReader::DTD: m_error = QStringLiteral("the feed declares a document type"); return;
            case QXmlStreamReader::EndDocument: m_ended = true; return;
            case QXmlStreamReader::StartElement: startElement(); break;
            case QXmlStreamReader::EndElement: endElement(); break;
            case QXmlStreamReader::Characters:
                if (m_field != None)
                    m_text += m_xml.text();
                break;
            default: break;
            }
        }
    }

    void startElement()
    {
        const QStringRef name = m_xml.qualifiedName();
        if (!m_sawRoot) {
            m_sawRoot = true;
            if (name != QLatin1String("rss"))
                m_error = QStringLiteral("the feed is not an RSS appcast (its root is <%1>)").arg(name.left(40));
            return;
        }
        if (!m_inItem) {
            if (name == QLatin1String("item")) {
                m_inItem = true;
                m_item = Item();
                ++m_itemsSeen;
            }
            return;
        }
        if (m_field != None)
            return; // markup inside a field is part of its text
        m_text.clear();
        if (name == QLatin1String("sparkle:version")) {
            m_field = Version;
        } else if (name == QLatin1String("sparkle:shortVersionString")) {
            m_field = ShortVersion;
        } else if (name == QLatin1String("title")) {
            m_field = Title;
        } else if (name == QLatin1String("link")) {
            m_field = Link;
        } else if (name == QLatin1String("enclosure")) {
            const QXmlStreamAttributes a = m_xml.attributes();
            m_item.enclosureUrl = a.value(QLatin1String("url")).toString();
            m_item.enclosureVersion = a.value(QLatin1String("sparkle:version")).toString();
            m_item.enclosureShort = a.value(QLatin1String("sparkle:shortVersionString")).toString();
        }
        if (m_field != None)
            m_fieldName = name.toString();
    }

    void endElement()
    {
        const QStringRef name = m_xml.qualifiedName();
        if (m_field != None) {
            if (name != m_fieldName)
                return;
            QString *target[] = {nullptr, &m_item.version, &m_item.shortVersion, &m_item.title, &m_item.link};
            *target[m_field] = m_text;
            m_field = None;
            return;
        }
        if (m_inItem && name == QLatin1String("item")) {
            m_inItem = false;
            takeItem();
        }
    }

    void takeItem()
    {
        const QString versionText = m_item.version.isEmpty() ? m_item.enclosureVersion : m_item.version;
        bool ok = false;
        const QVersionNumber version = parseVersion(versionText, &ok);
        if (!ok)
            return;
        ++m_items;
        // The first of equal versions wins, so that a feed listing a release twice is read as its author meant.
        if (!m_newest.version.isNull() && version <= m_newest.version)
            return;
        Updater::Release r;
        r.version = version;
        r.versionText = versionText.trimmed();
        const QString shown = m_item.shortVersion.isEmpty() ? m_item.enclosureShort : m_item.shortVersion;
        r.shownVersion = shown.trimmed().isEmpty() ? r.versionText : shown.trimmed().left(64);
        r.title = m_item.title.trimmed();
        r.url = webUrl(m_item.link);
        if (r.url.isEmpty())
            r.url = webUrl(m_item.enclosureUrl);
        m_newest = r;
    }

    struct Item {
        QString version, shortVersion, title, link, enclosureUrl, enclosureVersion, enclosureShort;
    };

    QXmlStreamReader m_xml;
    QString m_error;
    bool m_ended = false;
    bool m_sawRoot = false;
    bool m_inItem = false;
    Field m_field = None;
    QString m_fieldName;
    QString m_text;
    Item m_item;
    int m_itemsSeen = 0;
    int m_items = 0;
    Updater::Release m_newest;
};

} // namespace

// The reader of the check in flight; kept out of the header with the parser it wraps.
struct UpdaterCheck {
    AppcastReader reader;
    qint64 received = 0;
    QString certificateProblem; // why the server's certificate was refused
    bool replyFinished = false;
    bool readQueued = false;
};

QUrl Updater::builtInFeed()
{
    return QUrl(QStringLiteral(VQ6020_UPDATE_FEED));
}

Updater::Feed Updater::parseAppcast(const QByteArray &xml)
{
    AppcastReader reader;
    reader.addData(xml);
    return reader.finish();
}

Updater::Updater(QAction *action, const QUrl &feed, QObject *parent)
    : QObject(parent), m_action(action), m_boxParent(action ? qobject_cast<QWidget *>(action->parent()) : nullptr),
      m_feed(feed), m_running(QVersionNumber::fromString(QLatin1String(AppInfo::kVersion))),
      m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
{
    if (m_action)
        connect(m_action, &QAction::triggered, this, &Updater::onTriggered);
    m_automatic.setInterval(kAutomaticIntervalMs);
    connect(&m_automatic, &QTimer::timeout, this, [this] { check(false); });
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no answer within %1 s").arg(QString::number(m_timeoutMs / 1000.0))); });
    // Later than the main window's first paint: the window should be up before anything else happens.
    QTimer::singleShot(kStartDelayMs, this, &Updater::init);
}

Updater::~Updater()
{
    // A check in flight is dropped, never waited for: leaving the program must not hang on a slow server.
    if (m_reply) {
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply->abort();
        delete m_reply;
        m_reply = nullptr;
    }
}

void Updater::init()
{
    qInfo().noquote() << "Init WinSparkle";
    m_initialised = true;
    if (m_feed.isEmpty()) {
        qInfo().noquote() << kChecksOff;
        return;
    }
    m_network = new QNetworkAccessManager(this);
    m_automatic.start();
    check(false);
}

void Updater::onTriggered()
{
    if (!m_initialised)
        return;
    qInfo().noquote() << "Checking for WinSparkle updates now";
    if (m_feed.isEmpty()) {
        showBox(kChecksOff, nullptr);
        return;
    }
    check(true);
}

void Updater::check(bool withUi)
{
    // One check at a time; a user who asks during an automatic one gets its answer.
    if (m_reply) {
        m_withUi = m_withUi || withUi;
        return;
    }
    m_withUi = withUi;
    if (m_feed.scheme() != QLatin1String("https")) {
        fail(QStringLiteral("the feed address is not an https address"));
        return;
    }
    QNetworkRequest request(m_feed);
    // Following a redirect from https to plain http would let anyone on the path answer instead of the server.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("VQ6020/%1").arg(m_running.toString()));
    m_check = std::make_unique<UpdaterCheck>();
    m_reply = m_network->get(request);
    // Qt buffers no more than this ahead of us, so an endless answer costs no memory beyond the limit.
    m_reply->setReadBufferSize(kReadChunk);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxFeedBytes)
            fail(QStringLiteral("the feed is larger than 1 MiB"));
    });
    // Only noted for the failure text: a certificate the system does not trust ends the check.
    connect(m_reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        if (!errors.isEmpty())
            m_check->certificateProblem = errors.first().errorString();
    });
    connect(m_reply, &QIODevice::readyRead, this, &Updater::readSome);
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        m_check->replyFinished = true;
        readSome();
    });
    m_deadline.start(m_timeoutMs);
}

void Updater::readSome()
{
    if (!m_reply)
        return;
    // One piece per turn of the event loop: the window repaints between the pieces of a large feed.
    if (m_reply->bytesAvailable() > 0) {
        const QByteArray piece = m_reply->read(qMin<qint64>(kParsePiece, kMaxFeedBytes - m_check->received + 1));
        m_check->received += piece.size();
        if (m_check->received > kMaxFeedBytes) {
            fail(QStringLiteral("the feed is larger than 1 MiB"));
            return;
        }
        // Only an answer the server calls a success is parsed; an error page is not a feed.
        if (m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200)
            m_check->reader.addData(piece);
    }
    if (m_reply->bytesAvailable() > 0) {
        if (!m_check->readQueued) {
            m_check->readQueued = true;
            QTimer::singleShot(0, this, [this] {
                m_check->readQueued = false;
                readSome();
            });
        }
        return;
    }
    if (m_check->replyFinished)
        finish();
}

void Updater::finish()
{
    m_deadline.stop();
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        const QString phrase = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().left(80);
        reportFailure(QStringLiteral("the server answered %1 %2").arg(status).arg(phrase).trimmed());
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        QString why = reply->errorString();
        if (reply->error() == QNetworkReply::SslHandshakeFailedError && !m_check->certificateProblem.isEmpty())
            why += QStringLiteral(": ") + m_check->certificateProblem;
        reportFailure(why);
        return;
    }
    if (status != 200) {
        reportFailure(QStringLiteral("the server answered %1").arg(status));
        return;
    }
    const Feed feed = m_check->reader.finish();
    if (!feed.ok) {
        reportFailure(feed.error);
        return;
    }
    qInfo().noquote() << QStringLiteral("Update check: newest %1, running %2")
                             .arg(feed.newest.versionText.left(64), m_running.toString());
    if (feed.newest.version > m_running) {
        const bool skipped =
            m_settings.value(SettingsKeys::kUpdaterSkippedVersion).toString() == feed.newest.versionText;
        if (m_withUi || !skipped)
            showBox(QStringLiteral("VQ6020 %1 is available. You have %2.")
                        .arg(feed.newest.shownVersion, m_running.toString()),
                    &feed.newest);
    } else if (m_withUi) {
        showBox(
            QStringLiteral("You're up to date. VQ6020 %1 is the newest version available.").arg(m_running.toString()),
            nullptr);
    }
    emit checkFinished(true);
}

void Updater::fail(const QString &reason)
{
    m_deadline.stop();
    if (m_reply) {
        // Aborting emits finished at once; this check is over, so nothing of it may run again.
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    reportFailure(reason);
}

void Updater::reportFailure(QString reason)
{
    while (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    qInfo().noquote() << QStringLiteral("Update check failed: %1").arg(reason);
    if (m_withUi)
        showBox(QStringLiteral("Checking for updates failed: %1.").arg(reason), nullptr);
    emit checkFinished(false);
}

void Updater::showBox(const QString &text, const Release *offer)
{
    // One answer at a time: a newer one replaces an unanswered older one.
    if (m_box)
        m_box->close();
    auto *box = new QMessageBox(QMessageBox::Information, kBoxTitle, text, QMessageBox::NoButton, m_boxParent);
    box->setObjectName(QStringLiteral("softwareUpdateBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->setWindowModality(Qt::NonModal);
    if (offer) {
        const Release release = *offer;
        QPushButton *download = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        QPushButton *skip = box->addButton(QStringLiteral("Skip This Version"), QMessageBox::DestructiveRole);
        box->addButton(QStringLiteral("Remind Me Later"), QMessageBox::RejectRole);
        download->setEnabled(!release.url.isEmpty());
        connect(box, &QMessageBox::buttonClicked, this, [this, release, download, skip](QAbstractButton *button) {
            if (button == download) {
                QDesktopServices::openUrl(release.url);
            } else if (button == skip) {
                m_settings.setValue(SettingsKeys::kUpdaterSkippedVersion, release.versionText);
                qInfo().noquote() << QStringLiteral("Update %1 skipped").arg(release.versionText);
            }
        });
    } else {
        box->addButton(QMessageBox::Ok);
    }
    m_box = box;
    box->show();
}
