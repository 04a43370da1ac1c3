#include "relay/MainWindowProxy.h"

#include "ui_MainWindowProxy.h"

#include "app/SettingsKeys.h"
#include "app/StatsClient.h"
#include "relay/Proxy.h"
#include "stream/FrameCompress.h"
#include "stream/PylonWorker.h"

#include <QThread>
#include <QTime>
#include <QtDebug>

namespace {
// Bytes per second to megabits per second, with a mega of 1024 x 1024.
double megabits(double bytesPerSecond)
{
    return bytesPerSecond * 8 / 1048576;
}

QString figure(double value)
{
    return QStringLiteral("%1").arg(value, 8, 'f', 2);
}
} // namespace

MainWindowProxy::MainWindowProxy(QWidget *parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::MainWindowProxy>()),
      m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication)
{
    ui->setupUi(this);
    ui->statusLog->setMaximumBlockCount(kLogLines);
    QThread::currentThread()->setObjectName(QStringLiteral("GUI Thread"));

    m_proxy = new Proxy(this);
    m_workerThread = new QThread(this);
    m_workerThread->setObjectName(QStringLiteral("PylonWorker"));
    m_worker = new PylonWorker;
    m_worker->moveToThread(m_workerThread);
    // The worker's sockets and timers belong to its thread, so it is deleted there, as the thread winds down.
    connect(m_workerThread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_workerThread->start(QThread::InheritPriority);
    m_compress = new FrameCompress(this);

    connect(m_worker, &PylonWorker::newFrame, m_compress, &FrameCompress::newBuff);
    connect(m_compress, &FrameCompress::buffDispose, m_worker, &PylonWorker::buffDispose);
    connect(m_compress, &FrameCompress::newCFrame, m_proxy, &Proxy::publishCFrame);
    connect(m_proxy, &Proxy::disposeCFrame, m_compress, &FrameCompress::cFrameDispose);
    connect(m_proxy, &Proxy::needStreamReset, m_compress, &FrameCompress::resetContext);
    connect(m_proxy, &Proxy::log, this, &MainWindowProxy::appendLog);
    connect(m_proxy, &Proxy::log, this, [](const QString &message) { qInfo().noquote() << message; });
    connect(StatsClient::instance(), &StatsClient::newStats, this, &MainWindowProxy::newStats);

    QMetaObject::invokeMethod(m_worker, "startWorker", Qt::QueuedConnection);
    ui->doProxy->setChecked(m_settings.value(SettingsKeys::kProxyMode, false).toBool());
}

MainWindowProxy::~MainWindowProxy()
{
    // Frames must stop arriving before the compressor and the relay go.
    m_workerThread->quit();
    m_workerThread->wait();
}

void MainWindowProxy::newStats(double bpsIn, double bpsOut, double fps)
{
    ui->stats_bpsIn->setText(figure(megabits(bpsIn)));
    ui->stats_bpsOut->setText(figure(megabits(bpsOut)));
    ui->stats_fps->setText(figure(fps));
}

void MainWindowProxy::on_doProxy_stateChanged(int state)
{
    m_settings.setValue(SettingsKeys::kProxyMode, state == Qt::Checked);
    m_settings.sync();
}

void MainWindowProxy::appendLog(const QString &message)
{
    ui->statusLog->appendPlainText(
        QStringLiteral("%2: %1").arg(message, QTime::currentTime().toString(QStringLiteral("hh.mm.ss"))));
}
