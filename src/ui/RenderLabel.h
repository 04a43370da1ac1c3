#pragma once

#include "app/Frame.h"
#include "link/OverallStatus.h"

#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QSize>
#include <QTransform>

class QWheelEvent;

// Shows the radio's 480 x 272 screen scaled to fit (anchored top-left, aspect kept) and turns presses on the
// picture into touches in the radio's own coordinates. While the link is not Active it shows the status name
// instead, so a stale picture is never mistaken for a live one.
class RenderLabel : public QLabel
{
    Q_OBJECT
public:
    static constexpr int ScreenWidth = Frame_t::Width;
    static constexpr int ScreenHeight = Frame_t::Height;

    explicit RenderLabel(QWidget *parent = nullptr);

    // Holds f (may be null) and points the image at its pixels without copying, then schedules a repaint.
    // Returns the frame held before, which the caller passes on down the frame chain (nullptr if none).
    Frame_t *setFrame(Frame_t *f);
    Frame_t *heldFrame() const { return m_frame; }

    QSize pictureSize() const { return m_pictureSize; }
    QTransform pictureTransform() const { return m_transform; }
    OverallStatus::Status status() const { return m_status; }
    bool statsShown() const { return m_showStats; }
    double renderRate() const { return m_renderRate; }
    double drawTime() const { return m_drawTime; }

    // The overlay's text as it would be drawn now.
    QString statsText() const;

signals:
    void touch(QPoint l);
    void release();
    void resized(QSize s);
    void wheeld(QWheelEvent *event);

public slots:
    void showStats(bool stats);
    void changedStatus(OverallStatus::Status s);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void pressedAt(const QPoint &pos);

    QImage m_image;
    Frame_t *m_frame = nullptr;
    bool m_pressed = false;
    OverallStatus::Status m_status = OverallStatus::Invalid;
    QElapsedTimer m_paintTimer;
    QElapsedTimer m_intervalTimer;
    double m_renderRate = 0;
    double m_drawTime = 0;
    QSize m_pictureSize;
    QTransform m_transform;
    bool m_showStats = false;
    // Built once: painting runs for every frame.
    const QFont m_statusFont;
    const QFont m_statsFont;
};
