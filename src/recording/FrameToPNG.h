#pragma once

#include "app/Frame.h"

#include <QObject>
#include <QString>

// Saves the next frame of the chain as a PNG still when asked. Lives in the GUI thread and passes every frame on
// exactly once. A still never replaces an existing file, and a failed write leaves no file behind.
class FrameToPNG : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    bool pending() const { return m_pending; }

public slots:
    void saveFrame(QString path);
    // The still is taken from this frame (by stamp) or a newer one: frames still on their way down the chain
    // when the user asked are older than the picture the user saw.
    void setOldestFrame(qint64 pts);
    void newBuff(Frame_t *f);

signals:
    void buffDispose(Frame_t *f);
    void saveFrameResult(QString s);

private:
    QString save(const Frame_t *f);

    bool m_pending = false;
    qint64 m_oldest = 0;
    QString m_path;
};
