#include "support/MdnsFloodLink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkInterface>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

MdnsFloodLink::MdnsFloodLink() = default;

MdnsFloodLink::~MdnsFloodLink()
{
    if (m_flood && m_flood->state() != QProcess::NotRunning) {
        m_flood->kill();
        m_flood->waitForFinished(5000);
    }
    if (m_originalNs >= 0) {
        ::setns(m_originalNs, CLONE_NEWNET);
        ::close(m_originalNs);
    }
    for (const QString &ns : {m_nsFlood, m_nsOurs}) {
        if (!ns.isEmpty())
            run({"ip", "netns", "del", ns});
    }
}

bool MdnsFloodLink::run(const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(args.first(), args.mid(1));
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool MdnsFloodLink::create(QString *why)
{
    if (QStandardPaths::findExecutable("ip").isEmpty() &&
        QStandardPaths::findExecutable("ip", {"/usr/sbin", "/sbin"}).isEmpty()) {
        *why = QStringLiteral("ip is not installed");
        return false;
    }
    const QString id = QString::number(QCoreApplication::applicationPid());
    const QString ifFlood = "vqf" + id.right(7);
    const QString ifOurs = "vqo" + id.right(7);
    if (!run({"ip", "netns", "add", "vqfA" + id})) {
        *why = QStringLiteral("cannot create network namespaces here (needs root and ip netns)");
        return false;
    }
    m_nsFlood = "vqfA" + id;
    if (!run({"ip", "netns", "add", "vqfB" + id})) {
        *why = QStringLiteral("cannot create a second network namespace");
        return false;
    }
    m_nsOurs = "vqfB" + id;
    const QList<QStringList> steps{
        {"ip", "link", "add", ifFlood, "netns", m_nsFlood, "type", "veth", "peer", "name", ifOurs, "netns", m_nsOurs},
        {"ip", "-n", m_nsFlood, "addr", "add", "10.78.0.1/24", "dev", ifFlood},
        {"ip", "-n", m_nsOurs, "addr", "add", "10.78.0.2/24", "dev", ifOurs},
        // No duplicate address detection: nothing can send IPv6 from the link until it ends.
        {"ip", "netns", "exec", m_nsFlood, "sysctl", "-qw", "net.ipv6.conf." + ifFlood + ".accept_dad=0"},
        {"ip", "netns", "exec", m_nsOurs, "sysctl", "-qw", "net.ipv6.conf." + ifOurs + ".accept_dad=0"},
        {"ip", "-n", m_nsFlood, "link", "set", "lo", "up"},
        {"ip", "-n", m_nsOurs, "link", "set", "lo", "up"},
        {"ip", "-n", m_nsFlood, "link", "set", ifFlood, "up"},
        {"ip", "-n", m_nsOurs, "link", "set", ifOurs, "up"},
        // Neither end has a default route; the flooder sends to the group without picking a link.
        {"ip", "-n", m_nsFlood, "route", "add", "224.0.0.0/4", "dev", ifFlood},
    };
    for (const QStringList &step : steps) {
        if (!run(step)) {
            *why = "failed: " + step.join(' ');
            return false;
        }
    }
    m_originalNs = ::open("/proc/thread-self/ns/net", O_RDONLY);
    const int fd = ::open(qPrintable("/run/netns/" + m_nsOurs), O_RDONLY);
    const bool moved = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!moved) {
        *why = QStringLiteral("cannot enter the namespace just made");
        return false;
    }
    // An mDNS server started before the link has its carrier leaves it out until its next
    // interface check a minute later; start nothing before then.
    QDeadlineTimer deadline(10000);
    while (!(QNetworkInterface::interfaceFromName(ifOurs).flags() & QNetworkInterface::IsRunning)) {
        if (deadline.hasExpired()) {
            *why = QStringLiteral("the veth pair never came up");
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

bool MdnsFloodLink::startFlood(const QString &program, const QStringList &arguments)
{
    m_floodOutput.clear();
    m_flood = std::make_unique<QProcess>();
    m_flood->setProcessChannelMode(QProcess::MergedChannels);
    m_flood->start("ip", QStringList{"netns", "exec", m_nsFlood, program} + arguments);
    return m_flood->waitForStarted(5000);
}

bool MdnsFloodLink::waitForFloodEnd(int timeoutMs)
{
    if (!m_flood)
        return true;
    // The event loop keeps running meanwhile: the client under test lives on this thread.
    if (m_flood->state() != QProcess::NotRunning) {
        QEventLoop loop;
        QObject::connect(m_flood.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                         &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_flood->state() == QProcess::NotRunning;
}

QString MdnsFloodLink::floodOutput()
{
    if (m_flood)
        m_floodOutput += m_flood->readAll();
    return QString::fromLocal8Bit(m_floodOutput);
}

qint64 MdnsFloodLink::cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The command name may hold spaces; the fields that follow it are plain.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

qint64 MdnsFloodLink::peakResidentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}
