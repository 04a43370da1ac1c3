// Update checks against a real HTTPS server on this machine: what the user is told (box and log) for every kind of
// feed and failure, the automatic check, and the timing rules of the menu action.
#include "FeedServer.h"
#include "support/LogCapture.h"

#include "app/SettingsKeys.h"
#include "settings/Updater.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <memory>

namespace {

const char kHead[] = "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" xmlns:sparkle=\"urn:test:appcast\">\n<channel>"
                     "<title>VQ6020</title>\n";
const char kTail[] = "</channel>\n</rss>\n";

QByteArray item(const QByteArray &version, const QByteArray &extra = QByteArray())
{
    return "<item><title>Version " + version + "</title><link>https://example.invalid/vq6020/" + version +
           "</link><sparkle:version>" + version + "</sparkle:version>" + extra + "</item>\n";
}

QByteArray feed(const QByteArray &items)
{
    return kHead + items + kTail;
}

QSettings settings()
{
    return QSettings(SettingsKeys::kOrganisation, SettingsKeys::kApplication);
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void onDemand_data();
    void onDemand();
    void automatic_data();
    void automatic();
    void actionBeforeStartDoesNothing();
    void quickTriggersMakeOneRequest();
    void destroyedMidRequest();
    void checksOff();

private:
    QUrl serve(const QByteArray &body, const QString &route = QStringLiteral("/feed/"));
    // An updater for the main window's action, started (its first, automatic check done).
    std::unique_ptr<Updater> started(const QUrl &feed, int timeoutMs = Updater::kDefaultTimeoutMs);
    QMessageBox *box() const { return m_window->findChild<QMessageBox *>(QStringLiteral("softwareUpdateBox")); }
    QStringList buttons() const;

    QTemporaryDir m_files;
    FeedServer m_server;
    FeedServer m_untrusted;
    std::unique_ptr<QMainWindow> m_window;
    QAction *m_action = nullptr;
    int m_fileNumber = 0;
};

void TestUpdater::initTestCase()
{
    if (!FeedServer::toolsPresent())
        QSKIP("python3 and openssl are needed for the local HTTPS server");
    QVERIFY(m_files.isValid());
    QVERIFY2(m_server.start(m_files.path()), qPrintable(m_server.error()));
    QVERIFY2(m_untrusted.start(m_files.path()), qPrintable(m_untrusted.error()));
    m_server.trust();
}

void TestUpdater::init()
{
    settings().clear();
    m_window = std::make_unique<QMainWindow>();
    m_action = new QAction(QStringLiteral("Check for Updates"), m_window.get());
}

void TestUpdater::cleanup()
{
    m_window.reset();
}

QUrl TestUpdater::serve(const QByteArray &body, const QString &route)
{
    const QString name = QStringLiteral("feed%1.xml").arg(++m_fileNumber);
    QFile f(m_files.filePath(name));
    if (!f.open(QIODevice::WriteOnly) || f.write(body) != body.size())
        return QUrl();
    return m_server.url(route + name);
}

std::unique_ptr<Updater> TestUpdater::started(const QUrl &feed, int timeoutMs)
{
    auto updater = std::make_unique<Updater>(m_action, feed);
    updater->setTimeoutMs(timeoutMs);
    QSignalSpy done(updater.get(), &Updater::checkFinished);
    if (!done.wait(Updater::kStartDelayMs + timeoutMs + 10000))
        return nullptr;
    if (QMessageBox *b = box())
        delete b;
    return updater;
}

QStringList TestUpdater::buttons() const
{
    QStringList texts;
    if (box())
        for (QAbstractButton *b : box()->buttons())
            texts << b->text();
    texts.sort();
    return texts;
}

void TestUpdater::onDemand_data()
{
    QTest::addColumn<QString>("kind"); // "feed" (body below), or a path of the server, or "closed", "untrusted"
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("route");
    QTest::addColumn<QString>("text"); // the box's text (a prefix for failures)
    QTest::addColumn<QString>("log");

    const QString up = QStringLiteral("You're up to date. VQ6020 1.0.31 is the newest version available.");
    auto row = [](const char *name, const QString &kind, const QByteArray &body, const QString &route,
                  const QString &text,
                  const QString &log) { QTest::newRow(name) << kind << body << route << text << log; };
    const QString feedKind = QStringLiteral("feed");
    const QString plain = QStringLiteral("/feed/");
    row("newer", feedKind, feed(item("1.0.32")), plain, "VQ6020 1.0.32 is available. You have 1.0.31.",
        "Update check: newest 1.0.32, running 1.0.31");
    row("newer, short version shown", feedKind,
        feed(item("1.0.40", "<sparkle:shortVersionString>1.0.40 spring</sparkle:shortVersionString>")), plain,
        "VQ6020 1.0.40 spring is available. You have 1.0.31.", "Update check: newest 1.0.40, running 1.0.31");
    row("same", feedKind, feed(item("1.0.31")), plain, up, "Update check: newest 1.0.31, running 1.0.31");
    // Greater as text, smaller as a version.
    row("older", feedKind, feed(item("1.0.9")), plain, up, "Update check: newest 1.0.9, running 1.0.31");
    row("newest of several, any order, version on the enclosure", feedKind,
        feed(item("1.0.9") +
             "<item><title>x</title><enclosure url=\"https://example.invalid/a.tar\" sparkle:version=\"1.0.100\"/>"
             "</item>\n" +
             item("1.0.32") + item("0.9")),
        plain, "VQ6020 1.0.100 is available. You have 1.0.31.", "Update check: newest 1.0.100, running 1.0.31");
    row("unparsable versions skipped", feedKind, feed(item("banana") + item("1.0.x") + item("1.0.33") + item("")),
        plain, "VQ6020 1.0.33 is available. You have 1.0.31.", "Update check: newest 1.0.33, running 1.0.31");
    row("delivered without a length", feedKind, feed(item("1.0.32")), "/stream/",
        "VQ6020 1.0.32 is available. You have 1.0.31.", "Update check: newest 1.0.32, running 1.0.31");

    const QString failed = QStringLiteral("Checking for updates failed: ");
    const QString logFailed = QStringLiteral("Update check failed: ");
    row("not XML", feedKind, "This is not a feed.", plain, failed + "the feed is not valid XML (",
        logFailed + "the feed is not valid XML (");
    row("truncated", feedKind, feed(item("1.0.32")).left(90), plain, failed + "the feed is not valid XML (",
        logFailed + "the feed is not valid XML (");
    row("not RSS", feedKind, "<html><body>hello</body></html>", plain, failed + "the feed is not an RSS appcast",
        logFailed + "the feed is not an RSS appcast");
    row("no item", feedKind, feed(""), plain, failed + "the feed lists no versions.",
        logFailed + "the feed lists no versions");
    row("no version parses", feedKind, feed(item("one") + item("1.0.31-beta")), plain,
        failed + "the feed lists no version that can be read.", logFailed + "the feed lists no version that can be");
    row("document type declared", feedKind,
        "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss><channel/></rss>", plain,
        failed + "the feed declares a document type.", logFailed + "the feed declares a document type");
    const QByteArray big = feed(item("1.0.32") + QByteArray(Updater::kMaxFeedBytes, ' '));
    row("over 1 MiB", feedKind, big, plain, failed + "the feed is larger than 1 MiB.",
        logFailed + "the feed is larger than 1 MiB");
    row("over 1 MiB without a length", feedKind, big, "/stream/", failed + "the feed is larger than 1 MiB.",
        logFailed + "the feed is larger than 1 MiB");
    row("404", "/missing", {}, {}, failed + "the server answered 404 Not Found.",
        logFailed + "the server answered 404 Not Found");
    row("redirect to plain http", feedKind, feed(item("1.0.32")), "/redirect-http/", failed + "Insecure redirect.",
        logFailed + "Insecure redirect");
    row("closed port", "closed", {}, {}, failed + "Connection refused.", logFailed + "Connection refused");
    row("untrusted certificate", "untrusted", feed(item("1.0.32")), plain, failed + "SSL handshake failed",
        logFailed + "SSL handshake failed");
    row("never answers", "/hang", {}, {}, failed + "no answer within 0.4 s.", logFailed + "no answer within 0.4 s");
}

void TestUpdater::onDemand()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, body);
    QFETCH(QString, route);
    QFETCH(QString, text);
    QFETCH(QString, log);

    QUrl url;
    if (kind == QLatin1String("feed")) {
        url = serve(body, route);
    } else if (kind == QLatin1String("untrusted")) {
        url = serve(body);
        url.setPort(m_untrusted.port());
    } else if (kind == QLatin1String("closed")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        url = QUrl(QStringLiteral("https://127.0.0.1:%1/feed/x.xml").arg(probe.serverPort()));
        probe.close();
    } else {
        url = m_server.url(kind);
    }
    auto updater = started(url, 400);
    QVERIFY(updater);
    QVERIFY(!box()); // the automatic check told the user nothing, or its box was closed above

    LogCapture capture;
    QSignalSpy done(updater.get(), &Updater::checkFinished);
    m_action->trigger();
    QVERIFY(capture.contains(QStringLiteral("Checking for WinSparkle updates now")));
    QVERIFY(done.wait(10000));
    QTRY_VERIFY(box());
    QCOMPARE(box()->windowTitle(), QStringLiteral("Software Update"));
    QVERIFY2(box()->text().startsWith(text), qPrintable(box()->text()));
    QVERIFY(!box()->isModal());
    QCOMPARE(box()->parentWidget(), m_window.get());
    QCOMPARE(capture.count(log), 1);
    const bool offer = text.contains(QLatin1String("is available"));
    QCOMPARE(buttons(),
             offer ? QStringList({"Download", "Remind Me Later", "Skip This Version"}) : QStringList({"OK"}));
    if (QTest::currentDataTag() == QByteArray("newer")) {
        const QDir pictures(qEnvironmentVariable("VQ6020_BINARY_DIR") + QStringLiteral("/pictures"));
        QVERIFY(pictures.mkpath(QStringLiteral(".")));
        QVERIFY(box()->grab().save(pictures.filePath(QStringLiteral("update-box.png"))));
        // Asking again replaces the box: one answer at a time.
        m_action->trigger();
        QVERIFY(done.wait(10000));
        QTRY_COMPARE(m_window->findChildren<QMessageBox *>().size(), 1);
    }
}

void TestUpdater::automatic_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("skipped"); // stored before the start
    QTest::addColumn<bool>("boxShown");
    QTest::addColumn<QString>("log");

    QTest::newRow("newer") << feed(item("1.0.32")) << QString() << true
                           << "Update check: newest 1.0.32, running 1.0.31";
    QTest::newRow("same") << feed(item("1.0.31")) << QString() << false
                          << "Update check: newest 1.0.31, running 1.0.31";
    QTest::newRow("failure only logs") << QByteArray("garbage") << QString() << false
                                       << "Update check failed: the feed is not valid XML";
    QTest::newRow("skipped version stays quiet")
        << feed(item("1.0.32")) << "1.0.32" << false << "Update check: newest 1.0.32, running 1.0.31";
    QTest::newRow("a newer one than the skipped is shown")
        << feed(item("1.0.32") + item("1.0.33")) << "1.0.32" << true << "Update check: newest 1.0.33, running 1.0.31";
}

void TestUpdater::automatic()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, skipped);
    QFETCH(bool, boxShown);
    QFETCH(QString, log);

    if (!skipped.isEmpty())
        settings().setValue(SettingsKeys::kUpdaterSkippedVersion, skipped);
    LogCapture capture;
    Updater updater(m_action, serve(body));
    QSignalSpy done(&updater, &Updater::checkFinished);
    QVERIFY(done.wait(10000));
    QVERIFY(capture.contains(QStringLiteral("Init WinSparkle")));
    QCOMPARE(capture.count(log), 1);
    QCOMPARE(capture.count(QStringLiteral("Checking for WinSparkle updates now")), 0);
    QTRY_COMPARE(box() != nullptr, boxShown);
    if (!boxShown)
        return;
    // "Skip This Version" silences the automatic check for that version.
    QPushButton *skip = nullptr;
    for (QAbstractButton *b : box()->buttons())
        if (b->text() == QLatin1String("Skip This Version"))
            skip = qobject_cast<QPushButton *>(b);
    QVERIFY(skip);
    skip->click();
    const QString newest = log.section(QLatin1Char(' '), 3, 3).chopped(1);
    QCOMPARE(settings().value(SettingsKeys::kUpdaterSkippedVersion).toString(), newest);
}

void TestUpdater::actionBeforeStartDoesNothing()
{
    const QUrl url = serve(feed(item("1.0.32")));
    const int before = m_server.requests();
    LogCapture capture;
    Updater updater(m_action, url);
    QSignalSpy done(&updater, &Updater::checkFinished);
    m_action->trigger();
    QVERIFY(!updater.isInitialised());
    QVERIFY(!updater.isChecking());
    QVERIFY(capture.lines().isEmpty());
    // Started, it makes its automatic check and nothing else: the early trigger left nothing behind.
    QVERIFY(done.wait(10000));
    QTest::qWait(100);
    QCOMPARE(done.size(), 1);
    QCOMPARE(m_server.requests() - before, 1);
    QCOMPARE(capture.count(QStringLiteral("Checking for WinSparkle updates now")), 0);
}

void TestUpdater::quickTriggersMakeOneRequest()
{
    const QUrl url = serve(feed(item("1.0.31")));
    auto updater = started(url);
    QVERIFY(updater);
    const int before = m_server.requests();
    QSignalSpy done(updater.get(), &Updater::checkFinished);
    m_action->trigger();
    m_action->trigger();
    QVERIFY(done.wait(10000));
    QTest::qWait(200);
    QCOMPARE(done.size(), 1);
    QCOMPARE(m_server.requests() - before, 1);
    QTRY_VERIFY(box());
}

void TestUpdater::destroyedMidRequest()
{
    const int before = m_server.requests(QStringLiteral("/hang"));
    // An updater whose automatic check hangs, destroyed while it waits.
    auto hanging = std::make_unique<Updater>(m_action, m_server.url(QStringLiteral("/hang")));
    QTRY_VERIFY(hanging->isChecking());
    QTRY_COMPARE(m_server.requests(QStringLiteral("/hang")), before + 1);
    m_action->trigger(); // the user is waiting for its answer too
    QElapsedTimer t;
    t.start();
    hanging.reset();
    QVERIFY2(t.elapsed() < 200, "destroying the updater waited for the server");
    QTest::qWait(300);
    QVERIFY(!box());
}

void TestUpdater::checksOff()
{
    LogCapture capture;
    Updater updater(m_action, QUrl());
    QTRY_VERIFY(updater.isInitialised());
    QVERIFY(capture.contains(QStringLiteral("Update checks are off in this build.")));
    QVERIFY(!updater.isChecking());
    m_action->trigger();
    QVERIFY(box());
    QCOMPARE(box()->text(), QStringLiteral("Update checks are off in this build."));
}

QTEST_MAIN(TestUpdater)
#include "tst_Updater.moc"
