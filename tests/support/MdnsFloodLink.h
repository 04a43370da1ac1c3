#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// Two network namespaces joined by a veth pair, for mDNS under load on a real link: the calling
// thread (and every thread and process it starts afterwards) moves into "ours" (10.78.0.2); the
// flooder runs in the other one (10.78.0.1). Needs root and `ip`; everything is removed again
// when the object goes.
class MdnsFloodLink
{
public:
    MdnsFloodLink();
    ~MdnsFloodLink();
    MdnsFloodLink(const MdnsFloodLink &) = delete;
    MdnsFloodLink &operator=(const MdnsFloodLink &) = delete;

    // False with the reason when namespaces cannot be made here.
    bool create(QString *why);
    // Starts program on the other end of the link; output is kept for floodOutput().
    bool startFlood(const QString &program, const QStringList &arguments);
    // Waits for the flooder to end by itself; true if it did within timeoutMs.
    bool waitForFloodEnd(int timeoutMs);
    QString floodOutput();

    // CPU time (user + system) a process has used so far, and its peak resident memory.
    static qint64 cpuMs(qint64 pid);
    static qint64 peakResidentKb(qint64 pid);

private:
    bool run(const QStringList &args);

    QString m_nsOurs;
    QString m_nsFlood;
    int m_originalNs = -1;
    std::unique_ptr<QProcess> m_flood;
    QByteArray m_floodOutput;
};
