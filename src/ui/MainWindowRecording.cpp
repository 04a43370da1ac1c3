// The main window's recording objects: the recorder and its thread, the save-video window and the PNG writer. The
// frame chain they sit in is wired with the rest of the chain.
#include "ui/MainWindow.h"

#include "recording/FrameToPNG.h"
#include "recording/SaveVideo.h"
#include "recording/encoder.h"
#include "ui/RenderLabel.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QRegularExpression>
#include <QThread>

void MainWindow::setupRecording()
{
    m_encoderThread = new QThread(this);
    m_encoderThread->setObjectName(QStringLiteral("encoder"));
    m_encoder = new encoder;
    m_encoder->moveToThread(m_encoderThread);
    // The recorder is deleted in its own thread as that winds down; its destructor finishes any open file.
    connect(m_encoderThread, &QThread::finished, m_encoder, &QObject::deleteLater);
    m_saveVideo = new SaveVideo(this);
    m_frameToPng = new FrameToPNG(this);

    connect(m_saveVideo, &SaveVideo::startWorker, m_encoder, &encoder::startWorker);
    connect(m_saveVideo, &SaveVideo::shutdownWorker, m_encoder, &encoder::shutdown);
    connect(m_saveVideo, &SaveVideo::savePng, m_frameToPng, &FrameToPNG::saveFrame);
    // A still shows what was on screen when it was asked for, or something newer.
    connect(m_saveVideo, &SaveVideo::savePng, this, [this] {
        if (const Frame_t *shown = whichLabel()->heldFrame())
            m_frameToPng->setOldestFrame(shown->pts);
    });
    connect(m_frameToPng, &FrameToPNG::saveFrameResult, m_saveVideo, &SaveVideo::savePngResult);
    connect(m_encoder, &encoder::recordingReport, m_saveVideo, &SaveVideo::recordingReport);
    connect(m_encoder, &encoder::stats, m_saveVideo, &SaveVideo::stats);
    connect(m_encoder, &encoder::stats, this, &MainWindow::encoderStats);
    connect(m_encoder, &encoder::deviceWrite, m_controller, &PylonController::writeWord);
    connect(m_controller, &PylonController::registerChanged, m_encoder, &encoder::deviceRead);

    // Each frame-rate entry tells the recorder its rate (it applies to the next recording).
    const QRegularExpression fpsName(QStringLiteral("actionFPS\\_(\\d+)"));
    for (QAction *action : findChildren<QAction *>(fpsName)) {
        const int rate = action->objectName().right(2).toInt();
        encoder *recorder = m_encoder;
        connect(action, &QAction::triggered, m_encoder, [recorder, rate] { recorder->fpsChanged(rate); });
    }
    m_encoderThread->start(QThread::InheritPriority);
}

void MainWindow::stopRecorder()
{
    if (!m_encoderThread || !m_encoderThread->isRunning())
        return;
    // The file gets its last frames and its index before the thread ends, and the thread ends before the worker's
    // pool goes: frames still queued for the recorder point into that pool.
    QMetaObject::invokeMethod(m_encoder, &encoder::shutdown, Qt::BlockingQueuedConnection);
    m_encoderThread->quit();
    m_encoderThread->wait();
}

void MainWindow::on_actionSave_mp4_Video_triggered()
{
    m_saveVideo->show();
    m_saveVideo->raise();
    m_saveVideo->activateWindow();
}

void MainWindow::encoderStats(encoder::EncoderState state, uint, uint, double, double)
{
    const bool recording = state == encoder::READY || state == encoder::ACTIVE;
    for (QAction *action : qAsConst(m_fpsActions))
        action->setEnabled(!recording);
}
