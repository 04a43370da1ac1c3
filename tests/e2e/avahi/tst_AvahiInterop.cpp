// Interoperability with avahi. avahi-daemon runs in one network namespace, this
// test in another, the two joined by a veth pair (10.77.0.1 avahi, 10.77.0.2 us);
// avahi gets a private system bus and the same host name as this machine, so our
// host name must step aside to "-2".
#include "discovery/MDNSHostnameLookup.h"
#include "discovery/OfferProxy.h"
#include "discovery/mdns/Browser.h"
#include "discovery/mdns/Hostname.h"
#include "discovery/mdns/Resolver.h"
#include "discovery/mdns/Server.h"
#include "support/LogCapture.h"

#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

Q_DECLARE_METATYPE(QHostAddress)

using namespace QMdnsEngine;

namespace {
const char *const kAvahiAddress = "10.77.0.1";
const char *const kOurAddress = "10.77.0.2";

QByteArray machineLabel()
{
    return QSysInfo::machineHostName().toUtf8().replace('.', '-');
}
} // namespace

class tst_AvahiInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void hostnameStepsAsideAndResolvesInAvahi();
    void browserSeesAvahiService();
    void avahiAddressesResolve_data();
    void avahiAddressesResolve();
    // Before our own relay ever advertised the plain name: avahi keeps a withdrawn
    // record for a second and would take it for a conflict.
    void secondRelayInstanceIsNumbered();
    void avahiBrowsesOfferedRelay();
    void sharesPortWithAvahiOnOneMachine();
    // Restarts avahi, which may then hold a numbered name: only rows indifferent to its name follow.
    void avahiStartsAfterUs_data();
    void avahiStartsAfterUs();
    void relayKeepsInstanceAcrossHostnameChange();

private:
    bool run(const QStringList &args, QByteArray *output = nullptr, int timeoutMs = 15000);
    // Starts a long-running avahi tool and waits until it reports its entry as established.
    std::unique_ptr<QProcess> publish(const QStringList &args, QByteArray *said = nullptr);
    // avahi-browse -rpt lines for the relay type, as field lists.
    QList<QStringList> browseRelays();
    // avahi-daemon with this machine's host name on its end of the pair, run in the given namespace.
    bool startAvahi(const QString &netns, QByteArray *log = nullptr);
    void stopAvahi();

    QTemporaryDir m_dir;
    QString m_nsAvahi;
    QString m_nsOurs;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    std::unique_ptr<QProcess> m_avahi;
    QString m_ifAvahi;
    qint64 m_dbusPid = 0;
    QString m_ourHostname;
};

bool tst_AvahiInterop::run(const QStringList &args, QByteArray *output, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(m_env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(args.first(), args.mid(1));
    // Keep our own responders answering while the tool asks them.
    QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(20);
    const bool finished = process.state() == QProcess::NotRunning;
    if (output)
        *output = process.readAll();
    if (!finished) {
        process.kill();
        process.waitForFinished();
        if (output)
            *output += process.readAll();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

std::unique_ptr<QProcess> tst_AvahiInterop::publish(const QStringList &args, QByteArray *said)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(m_env);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(args.first(), args.mid(1));
    QByteArray seen;
    QDeadlineTimer deadline(10000);
    while (!seen.contains("Established") && !deadline.hasExpired() && process->state() != QProcess::NotRunning) {
        process->waitForReadyRead(200);
        seen += process->readAll();
    }
    if (!seen.contains("Established"))
        qWarning().noquote() << args.join(' ') << "did not establish:" << seen;
    if (said)
        *said = seen;
    return process;
}

QList<QStringList> tst_AvahiInterop::browseRelays()
{
    QByteArray output;
    run({"avahi-browse", "-rpt", "_fernholow._tcp"}, &output);
    QList<QStringList> result;
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith("=;"))
            result.append(QString::fromUtf8(line).split(';'));
    }
    return result;
}

void tst_AvahiInterop::initTestCase()
{
    qRegisterMetaType<QHostAddress>();
    for (const char *tool : {"ip", "avahi-daemon", "avahi-publish", "avahi-browse", "avahi-resolve", "dbus-daemon"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty() &&
            QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin"}).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
    }
    QVERIFY(m_dir.isValid());
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                            QFileDevice::ReadOther | QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                            QFileDevice::ExeGroup);
    const QString id = QString::number(QCoreApplication::applicationPid());
    m_nsAvahi = "vqmA" + id;
    m_nsOurs = "vqmB" + id;
    const QString ifAvahi = "vqa" + id.right(7);
    const QString ifOurs = "vqb" + id.right(7);
    if (!run({"ip", "netns", "add", m_nsAvahi}))
        QSKIP("cannot create network namespaces here (needs root and ip netns); avahi interoperability not tested");
    QVERIFY(run({"ip", "netns", "add", m_nsOurs}));
    QVERIFY(run(
        {"ip", "link", "add", ifAvahi, "netns", m_nsAvahi, "type", "veth", "peer", "name", ifOurs, "netns", m_nsOurs}));
    QVERIFY(run({"ip", "-n", m_nsAvahi, "addr", "add", QString(kAvahiAddress) + "/24", "dev", ifAvahi}));
    QVERIFY(run({"ip", "-n", m_nsOurs, "addr", "add", QString(kOurAddress) + "/24", "dev", ifOurs}));
    QVERIFY(run({"ip", "-n", m_nsAvahi, "link", "set", "lo", "up"}));
    QVERIFY(run({"ip", "-n", m_nsOurs, "link", "set", "lo", "up"}));
    QVERIFY(run({"ip", "-n", m_nsAvahi, "link", "set", ifAvahi, "up"}));
    QVERIFY(run({"ip", "-n", m_nsOurs, "link", "set", ifOurs, "up"}));

    // A system bus of our own, on a socket file, so avahi and its tools meet on it
    // from either namespace.
    const QString bus = m_dir.filePath("bus");
    QFile busConfig(m_dir.filePath("bus.conf"));
    QVERIFY(busConfig.open(QIODevice::WriteOnly));
    busConfig.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                   "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                   "<busconfig><type>system</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
                                   "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                                   "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                   "<allow send_type=\"method_call\"/></policy></busconfig>\n")
                        .arg(bus)
                        .toUtf8());
    busConfig.close();
    QByteArray busOutput;
    QVERIFY(
        run({"dbus-daemon", "--config-file=" + busConfig.fileName(), "--fork", "--print-address=1", "--print-pid=1"},
            &busOutput));
    const QList<QByteArray> busLines = busOutput.trimmed().split('\n');
    QVERIFY2(busLines.size() >= 2, busOutput.constData());
    m_dbusPid = busLines.at(1).trimmed().toLongLong();
    m_env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + bus);

    m_ifAvahi = ifAvahi;
    QVERIFY(startAvahi(m_nsAvahi));

    // From here on this process lives in its own namespace, on the other end of the pair.
    const int fd = ::open(qPrintable("/run/netns/" + m_nsOurs), O_RDONLY);
    QVERIFY(fd >= 0);
    QCOMPARE(::setns(fd, CLONE_NEWNET), 0);
    ::close(fd);
    m_ourHostname = QString::fromUtf8(machineLabel()) + "-2.local.";

    // avahi reports start-up complete before it necessarily answers on the veth (the link
    // may come up after it looked at its interfaces). Our host-name probe only steps aside
    // if avahi answers, so wait until its name resolves from this side.
    Server server;
    Resolver resolver(&server, machineLabel() + ".local.");
    QSignalSpy resolved(&resolver, &Resolver::resolved);
    const auto answered = [&resolved] {
        for (const QList<QVariant> &args : resolved) {
            if (args.at(0).value<QHostAddress>() == QHostAddress(kAvahiAddress))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(answered(), 15000);
    for (const QList<QVariant> &args : resolved) {
        if (args.at(0).value<QHostAddress>() != QHostAddress(kAvahiAddress))
            qWarning() << "avahi's host name also resolved to" << args.at(0).value<QHostAddress>();
    }
}

bool tst_AvahiInterop::startAvahi(const QString &netns, QByteArray *log)
{
    QFile avahiConfig(m_dir.filePath("avahi-daemon.conf"));
    if (!avahiConfig.exists()) {
        if (!avahiConfig.open(QIODevice::WriteOnly))
            return false;
        avahiConfig.write(QStringLiteral("[server]\nhost-name=%1\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=%2\n"
                                         "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n[publish]\n"
                                         "publish-hinfo=no\npublish-workstation=no\n")
                              .arg(QString::fromUtf8(machineLabel()), m_ifAvahi)
                              .toUtf8());
        avahiConfig.close();
    }
    // A private /run keeps avahi's pid file away from any other avahi on this machine.
    m_avahi = std::make_unique<QProcess>();
    m_avahi->setProcessEnvironment(m_env);
    m_avahi->setProcessChannelMode(QProcess::MergedChannels);
    m_avahi->start("ip", {"netns", "exec", netns, "sh", "-c",
                          "mount -t tmpfs tmpfs /run && mkdir -p /run/avahi-daemon && exec avahi-daemon --no-chroot "
                          "--no-drop-root --no-rlimits -f " +
                              avahiConfig.fileName()});
    QByteArray avahiLog;
    QDeadlineTimer deadline(15000);
    // Our own responders may be asked while avahi starts up; keep them answering.
    while (!avahiLog.contains("Server startup complete") && !deadline.hasExpired() &&
           m_avahi->state() != QProcess::NotRunning) {
        QTest::qWait(50);
        avahiLog += m_avahi->readAll();
    }
    if (log)
        *log = avahiLog;
    if (!avahiLog.contains("Server startup complete"))
        qWarning().noquote() << "avahi-daemon did not start:" << avahiLog;
    return avahiLog.contains("Server startup complete");
}

void tst_AvahiInterop::stopAvahi()
{
    if (m_avahi && m_avahi->state() != QProcess::NotRunning) {
        m_avahi->terminate();
        if (!m_avahi->waitForFinished(5000)) {
            m_avahi->kill();
            m_avahi->waitForFinished();
        }
    }
    m_avahi.reset();
}

void tst_AvahiInterop::cleanupTestCase()
{
    stopAvahi();
    if (m_dbusPid > 0)
        ::kill(pid_t(m_dbusPid), SIGTERM);
    if (!m_nsAvahi.isEmpty())
        run({"ip", "netns", "del", m_nsAvahi});
    if (!m_nsOurs.isEmpty())
        run({"ip", "netns", "del", m_nsOurs});
}

void tst_AvahiInterop::hostnameStepsAsideAndResolvesInAvahi()
{
    Server server;
    Hostname hostname(&server);
    QSignalSpy changed(&hostname, &Hostname::hostnameChanged);
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 10000);
    QCOMPARE(QString::fromUtf8(hostname.hostName()), m_ourHostname);
    QCOMPARE(QString::fromUtf8(changed.first().at(0).toByteArray()), m_ourHostname);
    QVERIFY(hostname.isConfirmed());

    QByteArray output;
    const QString name = m_ourHostname.chopped(1);
    QVERIFY2(run({"avahi-resolve", "-4", "-n", name}, &output), output.constData());
    QCOMPARE(output.trimmed(), QString(name + '\t' + kOurAddress).toUtf8());
}

void tst_AvahiInterop::browserSeesAvahiService()
{
    auto publisher = publish({"avahi-publish", "-s", "myrelay", "_fernholow._tcp", "4343", "k=v", "flag", "empty="});
    Server server;
    Browser browser(&server, "_fernholow._tcp.local.");
    QSignalSpy added(&browser, &Browser::serviceAdded);
    QTRY_VERIFY_WITH_TIMEOUT(!added.isEmpty(), 10000);
    const Service service = added.first().at(0).value<Service>();
    QCOMPARE(service.name(), QByteArray("myrelay"));
    QCOMPARE(service.type(), QByteArray("_fernholow._tcp.local."));
    QCOMPARE(service.port(), quint16(4343));
    QCOMPARE(service.hostname(), machineLabel() + ".local.");
    const QMap<QByteArray, QByteArray> attributes = service.attributes();
    QCOMPARE(attributes.value("k"), QByteArray("v"));
    QVERIFY(attributes.contains("flag") && attributes.value("flag").isNull());
    QVERIFY(attributes.contains("empty") && !attributes.value("empty").isNull());

    // avahi withdrawing the service sends goodbyes, which remove it here.
    QSignalSpy removed(&browser, &Browser::serviceRemoved);
    publisher->terminate();
    publisher->waitForFinished(5000);
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 5000);
    QCOMPARE(removed.first().at(0).value<Service>().name(), QByteArray("myrelay"));
}

void tst_AvahiInterop::avahiAddressesResolve_data()
{
    QTest::addColumn<bool>("throughStrategy");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("address");
    QTest::newRow("Resolver") << false << "peerhost.local"
                              << "10.77.0.61";
    QTest::newRow("MDNSHostnameLookup, the unit's name") << true << "vq6020.local"
                                                         << "10.77.0.60";
    // Firmware that spells its name in capitals; DNS names compare without case.
    QTest::newRow("MDNSHostnameLookup, the unit's name in capitals") << true << "VQ6020.local"
                                                                     << "10.77.0.62";
}

void tst_AvahiInterop::avahiAddressesResolve()
{
    QFETCH(bool, throughStrategy);
    QFETCH(QString, name);
    QFETCH(QString, address);
    auto publisher = publish({"avahi-publish", "-a", "-R", name, address});
    Server server;
    if (throughStrategy) {
        MDNSHostnameLookup lookup(&server);
        QSignalSpy located(&lookup, &LocatorStrategy::located);
        lookup.startLookup();
        QTRY_COMPARE_WITH_TIMEOUT(located.count(), 1, 5000);
        QCOMPARE(located.first().at(0).value<QHostAddress>(), QHostAddress(address));
    } else {
        Resolver resolver(&server, (name + '.').toUtf8());
        QSignalSpy resolved(&resolver, &Resolver::resolved);
        QTRY_COMPARE_WITH_TIMEOUT(resolved.count(), 1, 5000);
        QCOMPARE(resolved.first().at(0).value<QHostAddress>(), QHostAddress(address));
    }
    publisher->terminate();
    publisher->waitForFinished(5000);
}

void tst_AvahiInterop::avahiBrowsesOfferedRelay()
{
    LogCapture log;
    OfferProxy relay;
    relay.offer();
    QVERIFY(log.waitFor("OfferProxy: Hostname changed " + m_ourHostname, 10000));
    QStringList found;
    QDeadlineTimer deadline(15000);
    while (found.isEmpty() && !deadline.hasExpired()) {
        QTest::qWait(500);
        for (const QStringList &fields : browseRelays()) {
            if (fields.value(3) == "_vq6020")
                found = fields;
        }
    }
    QVERIFY2(!found.isEmpty(), "avahi-browse never listed the relay");
    QCOMPARE(found.value(4), QString("_fernholow._tcp"));
    QCOMPARE(found.value(6), m_ourHostname.chopped(1));
    QCOMPARE(found.value(7), QString(kOurAddress));
    QCOMPARE(found.value(8), QString("4242"));
}

void tst_AvahiInterop::secondRelayInstanceIsNumbered()
{
    QByteArray said;
    auto publisher = publish({"avahi-publish", "-s", "_vq6020", "_fernholow._tcp", "4242"}, &said);
    QVERIFY2(said.contains("Established under name '_vq6020'"), said.constData());
    LogCapture log;
    OfferProxy relay;
    relay.offer();
    QMap<QString, QStringList> byName;
    QDeadlineTimer deadline(20000);
    while (!byName.contains("_vq6020-2") && !deadline.hasExpired()) {
        QTest::qWait(500);
        for (const QStringList &fields : browseRelays())
            byName.insert(fields.value(3), fields);
    }
    QVERIFY2(byName.contains("_vq6020-2"), qPrintable(QStringList(byName.keys()).join(", ")));
    QCOMPARE(byName.value("_vq6020-2").value(6), m_ourHostname.chopped(1));
    QCOMPARE(byName.value("_vq6020-2").value(8), QString("4242"));
    // avahi keeps its instance under the plain name.
    QCOMPARE(byName.value("_vq6020").value(6), QString::fromUtf8(machineLabel()) + ".local");
    publisher->terminate();
    publisher->waitForFinished(5000);
}

void tst_AvahiInterop::sharesPortWithAvahiOnOneMachine()
{
    // Our engine next to avahi in avahi's own namespace: both on 5353 of one machine.
    const int ours = ::open(qPrintable("/run/netns/" + m_nsOurs), O_RDONLY);
    const int theirs = ::open(qPrintable("/run/netns/" + m_nsAvahi), O_RDONLY);
    QVERIFY(ours >= 0 && theirs >= 0);
    QCOMPARE(::setns(theirs, CLONE_NEWNET), 0);
    ::close(theirs);
    bool resolvedRight = false, noErrors = false;
    {
        auto publisher = publish({"avahi-publish", "-a", "-R", "samehost.local", "10.77.0.64"});
        // Past avahi's own announcements: what we get now answers our question.
        QTest::qWait(2500);
        Server server;
        QSignalSpy errors(&server, &AbstractServer::error);
        Resolver resolver(&server, "samehost.local.");
        QSignalSpy resolved(&resolver, &Resolver::resolved);
        resolved.wait(5000);
        resolvedRight =
            resolved.count() == 1 && resolved.first().at(0).value<QHostAddress>() == QHostAddress("10.77.0.64");
        noErrors = errors.isEmpty();
        publisher->terminate();
        publisher->waitForFinished(5000);
    }
    QCOMPARE(::setns(ours, CLONE_NEWNET), 0);
    ::close(ours);
    QVERIFY(noErrors);
    QVERIFY(resolvedRight);
}

void tst_AvahiInterop::avahiStartsAfterUs_data()
{
    QTest::addColumn<bool>("oneMachine");
    QTest::addColumn<QString>("ourAddress");
    QTest::addColumn<QString>("avahiSuffix");
    // Across the link our answer to avahi's probe is another machine's address: avahi steps aside.
    QTest::newRow("across the link") << false << kOurAddress << "-2";
    // On one machine both name the same address; identical records are no conflict.
    QTest::newRow("on one machine, both on 5353") << true << kAvahiAddress << "";
}

void tst_AvahiInterop::avahiStartsAfterUs()
{
    QFETCH(bool, oneMachine);
    QFETCH(QString, ourAddress);
    QFETCH(QString, avahiSuffix);
    stopAvahi();
    const int ours = ::open(qPrintable("/run/netns/" + m_nsOurs), O_RDONLY);
    QVERIFY(ours >= 0);
    if (oneMachine) {
        const int theirs = ::open(qPrintable("/run/netns/" + m_nsAvahi), O_RDONLY);
        QVERIFY(theirs >= 0);
        QCOMPARE(::setns(theirs, CLONE_NEWNET), 0);
        ::close(theirs);
    }
    const QString ourName = QString::fromUtf8(machineLabel()) + ".local";
    const QString avahiName = QString::fromUtf8(machineLabel()) + avahiSuffix + ".local";
    QByteArray avahiLog, resolvedByAvahi;
    bool avahiStarted = false, avahiResolvedUs = false, noErrors = false;
    QList<QHostAddress> resolvedHere;
    QList<Service> browsedHere;
    {
        // Everything of ours is bound and registered before avahi exists, so the plain name is ours.
        Server server;
        QSignalSpy errors(&server, &AbstractServer::error);
        Hostname hostname(&server);
        // No other responder is up yet: a short registration window finds the same.
        hostname.setTimeScale(10);
        Browser browser(&server, "_fernholow._tcp.local.");
        Resolver resolver(&server, "latehost.local.");
        QSignalSpy registered(&hostname, &Hostname::hostnameRegistered);
        QSignalSpy added(&browser, &Browser::serviceAdded);
        QSignalSpy resolved(&resolver, &Resolver::resolved);
        registered.wait(5000);
        QCOMPARE(QString::fromUtf8(hostname.hostName()), ourName + '.');

        avahiStarted = startAvahi(m_nsAvahi, &avahiLog);
        auto service = publish({"avahi-publish", "-s", "latecomer", "_fernholow._tcp", "4343"});
        auto address = publish({"avahi-publish", "-a", "-R", "latehost.local", "10.77.0.66"});
        avahiResolvedUs = run({"avahi-resolve", "-4", "-n", ourName}, &resolvedByAvahi);
        QDeadlineTimer deadline(10000);
        while ((added.isEmpty() || resolved.isEmpty()) && !deadline.hasExpired())
            QTest::qWait(100);
        for (const QList<QVariant> &signal : qAsConst(added))
            browsedHere << signal.at(0).value<Service>();
        for (const QList<QVariant> &signal : qAsConst(resolved))
            resolvedHere << signal.at(0).value<QHostAddress>();
        noErrors = errors.isEmpty();
        service->terminate();
        address->terminate();
        service->waitForFinished(5000);
        address->waitForFinished(5000);
    }
    QCOMPARE(::setns(ours, CLONE_NEWNET), 0);
    ::close(ours);

    QVERIFY2(avahiStarted, avahiLog.constData());
    QVERIFY2(avahiLog.contains("Host name is " + avahiName.toUtf8()), avahiLog.constData());
    QVERIFY(noErrors);
    QVERIFY2(avahiResolvedUs, resolvedByAvahi.constData());
    QCOMPARE(resolvedByAvahi.trimmed(), QString(ourName + '\t' + ourAddress).toUtf8());
    QCOMPARE(resolvedHere, QList<QHostAddress>{QHostAddress("10.77.0.66")});
    QVERIFY(!browsedHere.isEmpty());
    QCOMPARE(browsedHere.first().name(), QByteArray("latecomer"));
    QCOMPARE(browsedHere.first().hostname(), (avahiName + '.').toUtf8());
    QCOMPARE(browsedHere.first().port(), quint16(4343));
}

void tst_AvahiInterop::relayKeepsInstanceAcrossHostnameChange()
{
    // The machine is renamed under the running relay: a host name of our own for this thread.
    const int originalUts = ::open("/proc/thread-self/ns/uts", O_RDONLY);
    QVERIFY(originalUts >= 0);
    QCOMPARE(::unshare(CLONE_NEWUTS), 0);
    struct Restore {
        int fd;
        ~Restore()
        {
            ::setns(fd, CLONE_NEWUTS);
            ::close(fd);
        }
    } restore{originalUts};
    const auto rename = [](const char *name) { return ::sethostname(name, strlen(name)) == 0; };
    QVERIFY(rename("vqrelay-one"));

    // avahi-browse watches all along: any name it ever lists for our type counts.
    QProcess watcher;
    watcher.setProcessEnvironment(m_env);
    watcher.setProcessChannelMode(QProcess::MergedChannels);
    watcher.start("avahi-browse", {"-rp", "_fernholow._tcp"});
    QVERIFY(watcher.waitForStarted());
    const auto relayEntry = [this](const QString &host) {
        for (const QStringList &fields : browseRelays()) {
            if (fields.value(3) == "_vq6020" && fields.value(6) == host)
                return fields;
        }
        return QStringList();
    };
    const auto waitForEntry = [&relayEntry](const QString &host) {
        QStringList found;
        QDeadlineTimer deadline(20000);
        while (found.isEmpty() && !deadline.hasExpired()) {
            QTest::qWait(500);
            found = relayEntry(host);
        }
        return found;
    };

    LogCapture log;
    OfferProxy relay;
    // Nobody else claims these names: short registration and probe windows do.
    relay.setTimeScale(10);
    relay.offer();
    QVERIFY(log.waitFor("OfferProxy: Hostname changed vqrelay-one.local.", 10000));
    const QStringList before = waitForEntry("vqrelay-one.local");
    QVERIFY2(!before.isEmpty(), "avahi-browse never listed the relay");

    QVERIFY(rename("vqrelay-two"));
    // The host name is looked at again when it is re-announced; bring that forward.
    relay.setTimeScale(1800);
    QVERIFY(log.waitFor("OfferProxy: Hostname changed vqrelay-two.local.", 20000));
    const QStringList after = waitForEntry("vqrelay-two.local");
    QTest::qWait(1000);
    watcher.terminate();
    watcher.waitForFinished(5000);
    const QString watched = QString::fromUtf8(watcher.readAll());

    QVERIFY2(!after.isEmpty(), qPrintable(watched));
    QCOMPARE(after.value(7), QString(kOurAddress));
    QCOMPARE(after.value(8), QString("4242"));
    QVERIFY2(!watched.contains("_vq6020-"), qPrintable(watched));
    // The old name's record was flushed from avahi's cache: one entry, the new one.
    QStringList hosts;
    for (const QStringList &fields : browseRelays()) {
        if (fields.value(3).startsWith("_vq6020"))
            hosts << fields.value(3) + '@' + fields.value(6);
    }
    QCOMPARE(hosts, QStringList{"_vq6020@vqrelay-two.local"});
}

QTEST_GUILESS_MAIN(tst_AvahiInterop)
#include "tst_AvahiInterop.moc"
