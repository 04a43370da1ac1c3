#pragma once

#include <QHostAddress>
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

    // From the next start() on, runs the unit in a network namespace of its own, joined to this one by a veth pair:
    // it has that namespace's fixed ports to itself (a relay here can listen on 4242 as well) and is reached at
    // unitAddress(). A holder process keeps the namespace while the unit restarts; everything goes when this object
    // does. False where namespaces cannot be made here, with the reason in whyNot: the caller skips.
    bool isolate(QString *whyNot = nullptr);
    bool isolated() const { return m_holderPid > 0; }
    // Where the unit listens: its end of the veth pair when isolated, else 127.0.0.1.
    QHostAddress unitAddress() const;
    // This namespace's end of the veth pair: where the unit sees connections from here come from.
    QHostAddress hostAddress() const { return m_hostAddress; }

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
    void dropIsolation();
    QString namespacePath() const;

    QProcess m_process;
    QStringList m_arguments;
    QString m_output;
    QProcess m_holder;
    qint64 m_holderPid = 0;
    QString m_hostLink;
    QHostAddress m_hostAddress;
    QHostAddress m_unitAddress;
};
