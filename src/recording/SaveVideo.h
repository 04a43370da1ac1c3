#pragma once

#include "recording/encoder.h"

#include <QDateTime>
#include <QSettings>
#include <QStandardPaths>
#include <QWidget>

#include <functional>
#include <memory>

namespace Ui {
class SaveVideo;
}

// The window from which the user records the screen to MP4 and saves PNG stills: the two output folders (kept in
// the settings), the preset, start and stop, and the recorder's statistics.
class SaveVideo : public QWidget
{
    Q_OBJECT
public:
    // Asks the user for a folder: caption and start folder in, the chosen folder (or "" when cancelled) out.
    using FolderChooser = std::function<QString(QWidget *parent, const QString &caption, const QString &start)>;
    using Now = std::function<QDateTime()>;

    explicit SaveVideo(QWidget *parent = nullptr, FolderChooser chooseFolder = {}, Now now = {});
    ~SaveVideo() override;

    bool recording() const { return m_recording; }

signals:
    void startWorker(QString filename, encoder::EncoderPreset encoder_id);
    void shutdownWorker();
    void savePng(QString filename);

public slots:
    void stats(encoder::EncoderState state, uint framesEncoded, uint file_size, double outputBitrate,
               double inputBitrate);
    void recordingReport(uint recording, encoder::EncoderState state, uint dropped, QString reason);
    void savePngResult(QString result);

private slots:
    void on_outFile_clicked();
    void on_outPNG_clicked();
    void on_startstop_clicked();
    void on_savePNG_clicked();

private:
    void chooseFolder(const char *key, QStandardPaths::StandardLocation fallback);
    void refreshFolders();
    void setRecording(bool on);

    std::unique_ptr<Ui::SaveVideo> ui;
    QSettings m_settings;
    FolderChooser m_chooseFolder;
    Now m_now;
    bool m_recording = false;
    // Starts this window asked for, and the last report's recording, state and reason: a report only speaks for
    // the recording started last when it carries that recording's number.
    uint m_started = 0;
    uint m_reportRecording = 0;
    QString m_reportReason;
    QString m_lastRecordingPath;
    QString m_lastPngPath;
};
