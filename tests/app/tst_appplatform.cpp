// showInFolder against a real D-Bus daemon: a private session bus on which a fake file
// manager owns org.freedesktop.FileManager1 (or does not), and the folder-open
// fallback caught by a URL handler for file URLs.

#include "app/AppPlatform.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMap>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>

class FakeFileManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    // How the fake answers: at once, with an error, after replyDelayMs, or never.
    enum Mode { Answers, Refuses, Slow, Silent };
    static constexpr int replyDelayMs = 2000;

    QStringList calls() const
    {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }
    void reset(Mode mode)
    {
        QMutexLocker lock(&m_mutex);
        m_calls.clear();
        m_mode = mode;
    }

public slots:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        record(QStringLiteral("ShowItems"), uris, startupId);
    }
    void ShowFolders(const QStringList &uris, const QString &startupId)
    {
        record(QStringLiteral("ShowFolders"), uris, startupId);
    }

private:
    void record(const QString &method, const QStringList &uris, const QString &startupId)
    {
        QMutexLocker lock(&m_mutex);
        m_calls << QStringLiteral("%1 %2 [%3]").arg(method, uris.join(QLatin1Char('|')), startupId);
        if (m_mode == Refuses) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("cannot show that"));
        } else if (m_mode == Slow || m_mode == Silent) {
            // Answered later from this (service) thread's event loop, as a file manager that starts first would.
            setDelayedReply(true);
            if (m_mode == Slow) {
                const QDBusMessage reply = message().createReply();
                QDBusConnection bus = connection();
                QTimer::singleShot(replyDelayMs, this, [bus, reply]() mutable { bus.send(reply); });
            }
        }
    }
    mutable QMutex m_mutex;
    QStringList m_calls;
    Mode m_mode = Answers;
};

class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class TestAppPlatform : public QObject
{
    Q_OBJECT
    QTemporaryDir m_busDir;
    QProcess m_daemon;
    QThread m_serviceThread;
    FakeFileManager *m_fake = nullptr;
    UrlRecorder m_fallback;

private slots:
    void initTestCase()
    {
        QVERIFY(m_busDir.isValid());
        // A bus of our own with no activatable services: a real file manager installed
        // on this machine can never answer in place of the fake.
        QFile conf(m_busDir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                  "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                  "<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                                  "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                                  "</policy></busconfig>\n")
                       .arg(m_busDir.path())
                       .toUtf8());
        conf.close();
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + conf.fileName(), QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
        QVERIFY2(m_daemon.waitForStarted(5000), "dbus-daemon is not installed");
        QVERIFY(m_daemon.waitForReadyRead(5000));
        const QByteArray address = m_daemon.readLine().trimmed();
        QVERIFY(!address.isEmpty());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);

        m_serviceThread.start();
        m_fake = new FakeFileManager;
        m_fake->moveToThread(&m_serviceThread);
        QDBusConnection service = QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("fake-fm"));
        QVERIFY(service.isConnected());
        QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), m_fake,
                                       QDBusConnection::ExportAllSlots));
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_fallback, "open");
    }

    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-fm"));
        m_serviceThread.quit();
        m_serviceThread.wait();
        delete m_fake;
        m_daemon.terminate();
        m_daemon.waitForFinished(3000);
    }

    void showInFolder_data()
    {
        QTest::addColumn<QString>("target");      // relative to a scratch folder
        QTest::addColumn<QString>("fileManager"); // answers, refuses, slow, silent, absent
        QTest::addColumn<QString>("expectedCall");
        QTest::addColumn<QString>("expectedFallback");
        QTest::newRow("file") << "logs/log.txt"
                              << "answers"
                              << "ShowItems file://%1/logs/log.txt []"
                              << "";
        QTest::newRow("folder") << "logs"
                                << "answers"
                                << "ShowFolders file://%1/logs []"
                                << "";
        QTest::newRow("file through a link, shown where it is") << "link/log.txt"
                                                                << "answers"
                                                                << "ShowItems file://%1/logs/log.txt []"
                                                                << "";
        QTest::newRow("file, file manager slow to answer") << "logs/log.txt"
                                                           << "slow"
                                                           << "ShowItems file://%1/logs/log.txt []"
                                                           << "";
        QTest::newRow("file, file manager refuses") << "logs/log.txt"
                                                    << "refuses"
                                                    << "ShowItems file://%1/logs/log.txt []"
                                                    << "file://%1/logs";
        QTest::newRow("file, file manager never answers") << "logs/log.txt"
                                                          << "silent"
                                                          << "ShowItems file://%1/logs/log.txt []"
                                                          << "file://%1/logs";
        QTest::newRow("file, no file manager") << "logs/log.txt"
                                               << "absent"
                                               << ""
                                               << "file://%1/logs";
        QTest::newRow("folder, no file manager") << "logs"
                                                 << "absent"
                                                 << ""
                                                 << "file://%1/logs";
    }
    // The caller's thread is the GUI thread that also serves the link and the picture: it gets control back at once
    // and its event loop keeps turning while the file manager takes its time.
    void showInFolder()
    {
        QFETCH(QString, target);
        QFETCH(QString, fileManager);
        QFETCH(QString, expectedCall);
        QFETCH(QString, expectedFallback);
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString root = QDir(scratch.path()).canonicalPath();
        QVERIFY(QDir().mkpath(root + QStringLiteral("/logs")));
        QFile log(root + QStringLiteral("/logs/log.txt"));
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.close();
        QVERIFY(QFile::link(root + QStringLiteral("/logs"), root + QStringLiteral("/link")));

        QDBusConnection service = QDBusConnection(QStringLiteral("fake-fm"));
        if (fileManager == QLatin1String("absent")) {
            service.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
        } else {
            QVERIFY(service.registerService(QStringLiteral("org.freedesktop.FileManager1")));
        }
        const QMap<QString, FakeFileManager::Mode> modes{{"answers", FakeFileManager::Answers},
                                                         {"refuses", FakeFileManager::Refuses},
                                                         {"slow", FakeFileManager::Slow},
                                                         {"silent", FakeFileManager::Silent},
                                                         {"absent", FakeFileManager::Answers}};
        m_fake->reset(modes.value(fileManager));
        m_fallback.opened.clear();

        QSignalSpy done(&AppPlatform::instance(), &AppPlatform::shownInFolder);
        QTimer ticker;
        int ticks = 0;
        connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(50);
        QElapsedTimer clock;
        clock.start();
        const QString path = root + QLatin1Char('/') + target;
        AppPlatform::instance().showInFolder(path);
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(done.wait(10000));
        const qint64 waited = clock.elapsed();
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.first().at(0).toString(), path);
        QVERIFY(done.first().at(1).toBool()); // either the file manager or the fallback took it
        if (waited >= FakeFileManager::replyDelayMs) {
            // Ticks every 50 ms all along; a loop blocked in the call would have run none until the answer.
            QVERIFY2(ticks >= waited / 50 / 2, qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(waited)));
        }

        const QStringList calls = m_fake->calls();
        if (expectedCall.isEmpty())
            QCOMPARE(calls, QStringList());
        else
            QCOMPARE(calls, QStringList{expectedCall.arg(root)});
        if (expectedFallback.isEmpty())
            QCOMPARE(m_fallback.opened, QList<QUrl>());
        else
            QCOMPARE(m_fallback.opened, QList<QUrl>{QUrl(expectedFallback.arg(root))});
    }
};

QTEST_MAIN(TestAppPlatform)
#include "tst_appplatform.moc"
