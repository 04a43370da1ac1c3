#include "support/SimProcess.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>
#include <QtDebug>

namespace {
const QString kReadyLine = QStringLiteral("vq6020-sim ready");

// Runs a short command; false with what it said (or why it did not run) in *error.
bool run(const QString &program, const QStringList &arguments, QString *error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForFinished(5000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(1000);
        }
        *error = QStringLiteral("%1 %2: %3")
                     .arg(program, arguments.join(QLatin1Char(' ')),
                          p.error() == QProcess::FailedToStart ? p.errorString()
                                                               : QString::fromLocal8Bit(p.readAll()).trimmed());
        return false;
    }
    return true;
}

// Each isolated unit of a test process gets a subnet of its own, so several can run side by side.
int g_nextSubnet = 0;
} // namespace

SimProcess::SimProcess(QObject *parent) : QObject(parent)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_process, &QProcess::readyRead, this, &SimProcess::collect);
}

SimProcess::~SimProcess()
{
    stop(2000);
    dropIsolation();
}

QString SimProcess::namespacePath() const
{
    return QStringLiteral("/proc/%1/ns/net").arg(m_holderPid);
}

QHostAddress SimProcess::unitAddress() const
{
    return isolated() ? m_unitAddress : QHostAddress(QHostAddress::LocalHost);
}

bool SimProcess::isolate(QString *whyNot)
{
    QString error;
    QString &reason = whyNot ? *whyNot : error;
    if (isolated())
        return true;
    for (const char *tool : {"unshare", "nsenter", "ip", "sleep"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
            reason = QStringLiteral("no network namespace for the unit: %1 is not installed").arg(QLatin1String(tool));
            return false;
        }
    }

    m_holder.start(QStringLiteral("unshare"),
                   {QStringLiteral("-n"), QStringLiteral("--"), QStringLiteral("sleep"), QStringLiteral("infinity")});
    if (!m_holder.waitForStarted(5000)) {
        reason = QStringLiteral("no network namespace for the unit: unshare did not start");
        return false;
    }
    m_holderPid = m_holder.processId();
    // unshare replaces itself with the holder once the namespace is made; until then the link still shows ours.
    const QString ours = QFileInfo(QStringLiteral("/proc/self/ns/net")).symLinkTarget();
    QDeadlineTimer deadline(5000);
    while (QFileInfo(namespacePath()).symLinkTarget() == ours && m_holder.state() == QProcess::Running &&
           !deadline.hasExpired())
        QTest::qWait(5);
    if (m_holder.state() != QProcess::Running || QFileInfo(namespacePath()).symLinkTarget() == ours) {
        reason = QStringLiteral("no network namespace for the unit: unshare -n: %1")
                     .arg(QString::fromLocal8Bit(m_holder.readAll()).trimmed());
        dropIsolation();
        return false;
    }

    const int subnet = g_nextSubnet++;
    m_hostLink = QStringLiteral("vq%1h").arg(m_holderPid);
    const QString unitLink = QStringLiteral("vq%1u").arg(m_holderPid);
    m_hostAddress = QHostAddress(QStringLiteral("10.242.%1.1").arg(subnet));
    m_unitAddress = QHostAddress(QStringLiteral("10.242.%1.2").arg(subnet));
    const QString inUnit = QStringLiteral("--net=") + namespacePath();
    const QString ip = QStringLiteral("ip");
    const QList<QPair<QString, QStringList>> steps = {
        {ip,
         {"link", "add", m_hostLink, "type", "veth", "peer", "name", unitLink, "netns", QString::number(m_holderPid)}},
        {ip, {"addr", "add", m_hostAddress.toString() + "/24", "dev", m_hostLink}},
        {ip, {"link", "set", m_hostLink, "up"}},
        {"nsenter", {inUnit, "--", ip, "link", "set", "lo", "up"}},
        {"nsenter", {inUnit, "--", ip, "addr", "add", m_unitAddress.toString() + "/24", "dev", unitLink}},
        {"nsenter", {inUnit, "--", ip, "link", "set", unitLink, "up"}},
        // Answers and the screen stream go back to whatever address this side used.
        {"nsenter", {inUnit, "--", ip, "route", "add", "default", "via", m_hostAddress.toString()}},
    };
    for (const auto &step : steps) {
        if (!run(step.first, step.second, &reason)) {
            reason = QStringLiteral("no network namespace for the unit: ") + reason;
            dropIsolation();
            return false;
        }
    }
    return true;
}

void SimProcess::dropIsolation()
{
    if (m_holderPid <= 0)
        return;
    // The holder is the namespace's last process: with it go the namespace and both ends of the veth pair.
    m_holder.kill();
    m_holder.waitForFinished(2000);
    m_holderPid = 0;
    m_hostLink.clear();
}

QString SimProcess::executable()
{
    return qEnvironmentVariable("VQ6020_SIM");
}

void SimProcess::collect()
{
    m_output += QString::fromLocal8Bit(m_process.readAll());
}

bool SimProcess::start(const QStringList &arguments, int timeoutMs)
{
    stop();
    m_arguments = arguments;
    m_output.clear();
    const QString program = executable();
    if (program.isEmpty()) {
        qWarning().noquote() << "VQ6020_SIM is not set";
        return false;
    }
    if (isolated())
        m_process.start(QStringLiteral("nsenter"),
                        QStringList{QStringLiteral("--net=") + namespacePath(), QStringLiteral("--"), program} +
                            arguments);
    else
        m_process.start(program, arguments);
    if (!m_process.waitForStarted(timeoutMs)) {
        qWarning().noquote() << "vq6020-sim did not start:" << m_process.errorString();
        return false;
    }
    if (!waitForOutput(kReadyLine, timeoutMs)) {
        qWarning().noquote() << "vq6020-sim not ready; its output:\n" + m_output;
        stop();
        return false;
    }
    return true;
}

bool SimProcess::restart(int timeoutMs)
{
    return start(m_arguments, timeoutMs);
}

void SimProcess::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(timeoutMs);
    }
    collect();
}

bool SimProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

int SimProcess::waitForExit(int timeoutMs)
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
        return -1;
    collect();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool SimProcess::waitForOutput(const QString &text, int timeoutMs, int times)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_output.count(text) < times) {
        if (deadline.hasExpired())
            return false;
        if (m_process.state() == QProcess::NotRunning) {
            collect();
            return m_output.count(text) >= times;
        }
        QTest::qWait(10);
        collect();
    }
    return true;
}
