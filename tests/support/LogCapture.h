#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects every message logged while it lives (from any thread), and still
// passes each one on to the handler that was installed before it.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    // Messages containing text, in order.
    QStringList matching(const QString &text) const;
    int count(const QString &text) const { return matching(text).size(); }
    bool contains(const QString &text) const { return count(text) > 0; }
    // Runs the event loop until a message containing text was logged.
    bool waitFor(const QString &text, int timeoutMs = 5000) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg);
    mutable QMutex m_mutex;
    QStringList m_lines;
};
