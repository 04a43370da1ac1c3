#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

// Runs the simulated unit as a child process and keeps everything it logs.
class SimRunner
{
public:
    ~SimRunner() { stop(); }

    bool start(const QStringList &args, int timeoutMs = 15000)
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&m_process, &QProcess::readyRead, [this] { m_output += m_process.readAll(); });
        m_process.start(qEnvironmentVariable("VQ6020_SIM"), args);
        if (!m_process.waitForStarted(5000))
            return false;
        return waitFor("vq6020-sim ready:", timeoutMs) && m_process.state() == QProcess::Running;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
        m_output += m_process.readAll();
    }

    bool waitFor(const QString &text, int timeoutMs) { return waitForCount(text, 1, timeoutMs); }

    // Until the output holds at least n lines containing text.
    bool waitForCount(const QString &text, int n, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (count(text) < n) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    QStringList lines(const QString &text) const { return QString::fromUtf8(m_output).split('\n').filter(text); }
    int count(const QString &text) const { return lines(text).size(); }
    QString output() const { return QString::fromUtf8(m_output); }

private:
    QProcess m_process;
    QByteArray m_output;
};
