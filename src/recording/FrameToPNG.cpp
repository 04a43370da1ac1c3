#include "recording/FrameToPNG.h"

#include "recording/OutputNames.h"

#include <QDebug>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>

void FrameToPNG::saveFrame(QString path)
{
    m_pending = true;
    m_path = path;
    qInfo().noquote() << "Save PNG requested, awaiting frame.";
    emit saveFrameResult(QStringLiteral("Save requested"));
}

void FrameToPNG::setOldestFrame(qint64 pts)
{
    m_oldest = pts;
}

void FrameToPNG::newBuff(Frame_t *f)
{
    if (m_pending && f && f->pts >= m_oldest) {
        m_pending = false;
        emit saveFrameResult(save(f));
    }
    emit buffDispose(f);
}

QString FrameToPNG::save(const Frame_t *f)
{
    // Another still may have taken the name since it was chosen.
    const QFileInfo wanted(m_path);
    const QString path = OutputNames::freePath(wanted.path(), wanted.fileName());
    const QImage image(f->pixels.get(), Frame_t::Width, Frame_t::Height, Frame_t::Stride, QImage::Format_RGB16);
    // Written under a temporary name and renamed at commit: "Saved PNG" means the whole picture reached the disk,
    // and a failed write (a full disk) leaves no partial file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qInfo().noquote() << QStringLiteral("Failed to open ") + path + QStringLiteral(" for writing. ") +
                                 file.errorString();
        return QStringLiteral("Failed to open for writing");
    }
    qInfo().noquote() << QStringLiteral("Open ") + path + QStringLiteral(" success");
    if (!image.save(&file, "PNG")) {
        file.cancelWriting();
        qInfo().noquote() << "File opened, but save(PNG) failed?";
        return QStringLiteral("Failed to encode PNG");
    }
    if (!file.commit()) {
        qWarning().noquote() << QStringLiteral("Failed to write ") + path + QStringLiteral(": ") + file.errorString();
        return QStringLiteral("Failed to write PNG - ") + file.errorString();
    }
    qInfo().noquote() << "Saved PNG";
    return QStringLiteral("Saved PNG");
}
