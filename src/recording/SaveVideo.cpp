#include "recording/SaveVideo.h"

#include "app/SettingsKeys.h"
#include "recording/OutputNames.h"
#include "ui_SaveVideo.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QMetaEnum>
#include <QStandardPaths>

namespace {
QString megabytes(double value)
{
    return QStringLiteral("%1").arg(value / 1024 / 1024, 5, 'g', -1, QLatin1Char(' '));
}
} // namespace

SaveVideo::SaveVideo(QWidget *parent, FolderChooser chooseFolder, Now now)
    : QWidget(parent, Qt::Window), ui(new Ui::SaveVideo),
      m_settings(SettingsKeys::kOrganisation, SettingsKeys::kApplication), m_chooseFolder(std::move(chooseFolder)),
      m_now(std::move(now))
{
    ui->setupUi(this);
    if (!m_chooseFolder) {
        m_chooseFolder = [](QWidget *p, const QString &caption, const QString &start) {
            return QFileDialog::getExistingDirectory(p, caption, start,
                                                     QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
        };
    }
    if (!m_now)
        m_now = [] { return QDateTime::currentDateTime(); };

    const QMetaEnum presets = QMetaEnum::fromType<encoder::EncoderPreset>();
    for (int i = 0; i < presets.keyCount(); ++i)
        ui->encoderSettings->addItem(QString::fromLatin1(presets.key(i)));
    ui->encoderSettings->setCurrentIndex(encoder::H264_YUV420_CRF17);

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (QLabel *value :
         {ui->stat_running, ui->stat_frames, ui->stat_bpsIn, ui->stat_bps, ui->stat_dropped, ui->stat_fileSize})
        value->setFont(fixed);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QWidget::close);
    refreshFolders();
}

SaveVideo::~SaveVideo() = default;

void SaveVideo::refreshFolders()
{
    const QString notSet = QStringLiteral("Not Set");
    ui->outFile->setText(m_settings.value(SettingsKeys::kOutputMp4, notSet).toString());
    ui->outPNG->setText(m_settings.value(SettingsKeys::kOutputPng, notSet).toString());
    ui->startstop->setEnabled(m_recording || m_settings.contains(SettingsKeys::kOutputMp4));
    ui->savePNG->setEnabled(m_settings.contains(SettingsKeys::kOutputPng));
}

void SaveVideo::chooseFolder(const char *key, QStandardPaths::StandardLocation fallback)
{
    const QString start = m_settings.value(key, QStandardPaths::writableLocation(fallback)).toString();
    const QString chosen = m_chooseFolder(this, QStringLiteral("Open Directory"), start);
    if (!chosen.isEmpty())
        m_settings.setValue(key, chosen);
    refreshFolders();
}

void SaveVideo::on_outFile_clicked()
{
    chooseFolder(SettingsKeys::kOutputMp4, QStandardPaths::MoviesLocation);
}

void SaveVideo::on_outPNG_clicked()
{
    chooseFolder(SettingsKeys::kOutputPng, QStandardPaths::PicturesLocation);
}

void SaveVideo::setRecording(bool on)
{
    m_recording = on;
    ui->startstop->setText(on ? QStringLiteral("Stop Recording") : QStringLiteral("Start Recording"));
    ui->encoderSettings->setEnabled(!on);
    ui->outFile->setEnabled(!on);
    refreshFolders();
}

void SaveVideo::on_startstop_clicked()
{
    if (m_recording) {
        emit shutdownWorker();
        setRecording(false);
        return;
    }
    const QString folder = m_settings.value(SettingsKeys::kOutputMp4).toString();
    if (const QString problem = OutputNames::folderProblem(folder); !problem.isEmpty()) {
        ui->stat_running->setText(QStringLiteral("FAILED - ") + problem);
        return;
    }
    const QString path = OutputNames::freePath(folder, OutputNames::recordingName(m_now()), m_lastRecordingPath);
    m_lastRecordingPath = path;
    ++m_started;
    m_reportReason.clear();
    emit startWorker(path, encoder::EncoderPreset(ui->encoderSettings->currentIndex()));
    setRecording(true);
}

void SaveVideo::on_savePNG_clicked()
{
    const QString folder = m_settings.value(SettingsKeys::kOutputPng).toString();
    if (const QString problem = OutputNames::folderProblem(folder); !problem.isEmpty()) {
        ui->pngStatus->setText(QStringLiteral("Failed to open for writing - ") + problem);
        return;
    }
    const QString path = OutputNames::freePath(folder, OutputNames::snapshotName(m_now()), m_lastPngPath);
    m_lastPngPath = path;
    emit savePng(path);
}

void SaveVideo::recordingReport(uint recording, encoder::EncoderState state, uint dropped, QString reason)
{
    m_reportRecording = recording;
    m_reportReason = recording == m_started ? reason : QString();
    if (recording == m_started)
        ui->stat_dropped->setText(QString::number(dropped));
    Q_UNUSED(state)
}

void SaveVideo::stats(encoder::EncoderState state, uint framesEncoded, uint file_size, double outputBitrate,
                      double inputBitrate)
{
    QString text = QString::fromLatin1(QMetaEnum::fromType<encoder::EncoderState>().valueToKey(state));
    if (!m_reportReason.isEmpty())
        text += QStringLiteral(" - ") + m_reportReason;
    ui->stat_running->setText(text);
    ui->stat_fileSize->setText(QStringLiteral("%1 MB").arg(megabytes(file_size)));
    ui->stat_bps->setText(QStringLiteral("%1 Mb/sec").arg(megabytes(outputBitrate)));
    ui->stat_bpsIn->setText(QStringLiteral("%1 Mb/sec").arg(megabytes(inputBitrate)));
    ui->stat_frames->setText(QString::number(framesEncoded));
    // The recorder stopped by itself (a failure, or another client took the unit's capture handle). A STOPPED
    // report left over from an earlier recording does not count: it would stop this one as it starts.
    if (state == encoder::STOPPED && m_recording && m_reportRecording == m_started) {
        emit shutdownWorker();
        setRecording(false);
    }
}

void SaveVideo::savePngResult(QString result)
{
    ui->pngStatus->setText(result);
}
