#include "support/SimProcess.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QtDebug>

namespace {
const QString kReadyLine = QStringLiteral("vq6020-sim ready");
}

SimProcess::SimProcess(QObject *parent) : QObject(parent)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_process, &QProcess::readyRead, this, &SimProcess::collect);
}

SimProcess::~SimProcess()
{
    stop(2000);
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
