#pragma once

#include <QMainWindow>
#include <QSettings>

#include <memory>

class FrameCompress;
class Proxy;
class PylonWorker;
class QThread;

namespace Ui {
class MainWindowProxy;
}

// The relay's window: owns the unit's video receiver, the frame compressor and the
// relay server, wires them into one pipeline and shows throughput and a log.
class MainWindowProxy : public QMainWindow
{
    Q_OBJECT
public:
    // Lines of the log view kept; older ones scroll away.
    static constexpr int kLogLines = 5000;

    explicit MainWindowProxy(QWidget *parent = nullptr);
    ~MainWindowProxy() override;

    Proxy *proxy() const { return m_proxy; }

public slots:
    void newStats(double bpsIn, double bpsOut, double fps);

private slots:
    void on_doProxy_stateChanged(int state);
    void appendLog(const QString &message);

private:
    std::unique_ptr<Ui::MainWindowProxy> ui;
    QSettings m_settings;
    Proxy *m_proxy;
    QThread *m_workerThread;
    PylonWorker *m_worker;
    FrameCompress *m_compress;
};
