#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the simulated unit ($VQ6020_SIM) as a child process for a test: start it
// with arguments and wait for its ready line, watch its output, stop it, start
// it again. Standard output and error are merged and kept.
class SimProcess : public QObject
{
    Q_OBJECT
public:
    explicit SimProcess(QObject *parent = nullptr);
    ~SimProcess() override;

    static QString executable();

    // Starts the simulator and waits until it printed its ready line. False (with
    // the output so far in a warning) if it did not start, exited or timed out.
    bool start(const QStringList &arguments = {}, int timeoutMs = 10000);
    // Stops it (terminate, then kill) and starts it again with the same arguments.
    bool restart(int timeoutMs = 10000);
    // Terminates it and waits; kills it if it does not end within timeoutMs.
    void stop(int timeoutMs = 5000);
    bool isRunning() const;
    // Waits for it to end by itself (for example after --seconds). Returns its exit code, or -1.
    int waitForExit(int timeoutMs = 10000);

    // Everything printed since the last start.
    QString output() const { return m_output; }
    int count(const QString &text) const { return m_output.count(text); }
    // Runs the event loop until the output contains text (at least `times` times).
    bool waitForOutput(const QString &text, int timeoutMs = 5000, int times = 1);
    QStringList arguments() const { return m_arguments; }

private:
    void collect();

    QProcess m_process;
    QStringList m_arguments;
    QString m_output;
};
