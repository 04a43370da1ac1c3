#pragma once

#include "app/SettingsKeys.h"

#include <QHostAddress>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// The real program started as a relay, with settings and data folders of its own and no display.
class RelayProcess
{
public:
    ~RelayProcess() { stop(); }

    // unit: the address its locator is given (saved address only).
    bool start(const QByteArray &key, const QHostAddress &unit)
    {
        const QString config = m_home.path() + QStringLiteral("/config");
        QSettings s(config + QStringLiteral("/FernhollowLLC/VQ6020.conf"), QSettings::IniFormat);
        s.clear();
        s.setValue(SettingsKeys::kProxyMode, true);
        s.setValue(SettingsKeys::kNetPsk, key);
        for (const char *type : {"LOC_PROXY_MDNS", "LOC_DIRECT_MDNS", "LOC_DNS", "LOC_IP"})
            s.setValue(QString::fromLatin1(SettingsKeys::kConnectPrioChecked).arg(QLatin1String(type)),
                       qstrcmp(type, "LOC_IP") == 0);
        s.setValue(QString::fromLatin1(SettingsKeys::kConnectPrioExtended).arg(QLatin1String("LOC_IP")),
                   unit.toString());
        s.sync();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.path() + QStringLiteral("/data"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(qEnvironmentVariable("VQ6020_APP"), QStringList());
        return m_process.waitForStarted(5000) && waitFor(QStringLiteral("Server Listen: Ready"), 10000);
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
    QString output()
    {
        m_output += QString::fromUtf8(m_process.readAll());
        return m_output;
    }
    int count(const QString &text) { return output().count(text); }
    bool waitFor(const QString &text, int ms = 10000, int times = 1)
    {
        return QTest::qWaitFor([&] { return count(text) >= times; }, ms);
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QTemporaryDir m_home;
    QProcess m_process;
    QString m_output;
};
