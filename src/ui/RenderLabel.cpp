#include "ui/RenderLabel.h"

#include "app/StatsClient.h"

#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>

namespace {
const char s_statsTemplate[] = "Network:       Renderer:\nFPS: %1 FPS: %3\nMbps:%2 Draw:%4\n"
                               "Frames Lost, No Buffer: %5\nFrame: %6, PTS: %7";
}

RenderLabel::RenderLabel(QWidget *parent)
    : QLabel(parent), m_statusFont(QStringLiteral("Courier New"), 48, 75, false),
      m_statsFont(QStringLiteral("Courier New"), 12, 81, false)
{
    // Only drags count: plain hovering over the picture must not touch the radio's screen.
    setMouseTracking(false);
    m_paintTimer.start();
    m_intervalTimer.start();
}

Frame_t *RenderLabel::setFrame(Frame_t *f)
{
    Frame_t *previous = m_frame;
    m_frame = f;
    if (f)
        m_image = QImage(f->pixels.get(), ScreenWidth, ScreenHeight, Frame_t::Stride, QImage::Format_RGB16);
    else
        m_image = QImage();
    update();
    return previous;
}

void RenderLabel::showStats(bool stats)
{
    m_showStats = stats;
}

void RenderLabel::changedStatus(OverallStatus::Status s)
{
    m_status = s;
    update();
}

void RenderLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    emit resized(event->size());
    m_pictureSize = QSize(ScreenWidth, ScreenHeight).scaled(event->size(), Qt::KeepAspectRatio);
    QTransform scale;
    scale.scale(double(m_pictureSize.width()) / ScreenWidth, double(m_pictureSize.height()) / ScreenHeight);
    m_transform = QImage::trueMatrix(scale, ScreenWidth, ScreenHeight);
}

void RenderLabel::pressedAt(const QPoint &pos)
{
    const int x = pos.x();
    const int y = pos.y();
    // The exact right and bottom edges still belong to the picture; beyond them is empty widget space.
    if (y > m_pictureSize.height() || x > m_pictureSize.width())
        return;
    if (m_pictureSize.width() <= 0 || m_pictureSize.height() <= 0)
        return;
    m_pressed = true;
    const int rx = int(x * (double(ScreenWidth) / m_pictureSize.width()));
    const int ry = int(y * (double(ScreenHeight) / m_pictureSize.height()));
    emit touch(QPoint(rx, ry));
}

void RenderLabel::mousePressEvent(QMouseEvent *event)
{
    pressedAt(event->pos());
}

void RenderLabel::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons() != Qt::NoButton)
        pressedAt(event->pos());
}

void RenderLabel::mouseReleaseEvent(QMouseEvent *event)
{
    Q_UNUSED(event);
    if (m_pressed)
        emit release();
    m_pressed = false;
}

void RenderLabel::wheelEvent(QWheelEvent *event)
{
    event->accept();
    emit wheeld(event);
}

QString RenderLabel::statsText() const
{
    const double netFps = StatsClient::framesPerSecondX100() / 100.0;
    const double netMbps = StatsClient::networkBytesPerSecondX100() / 100.0 * 8 / 1024 / 1024;
    // Nothing has been shown yet: say so rather than invent a frame number.
    const QString frame = m_frame ? QString::number(uint(m_frame->frameNumber)) : QStringLiteral("-");
    const QString pts = m_frame ? QStringLiteral("%1").arg(qint64(m_frame->pts), 5) : QStringLiteral("%1").arg("-", 5);
    return QString::fromLatin1(s_statsTemplate)
        .arg(netFps, 8, 'f', 2, QLatin1Char(' '))
        .arg(netMbps, 8, 'f', 2)
        .arg(m_renderRate, 5, 'f', 2)
        .arg(m_drawTime, 5, 'f', 2)
        .arg(qint64(g_framesLostNoBuffer.load(std::memory_order_relaxed)))
        .arg(frame)
        .arg(pts);
}

void RenderLabel::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    m_paintTimer.restart();
    QPainter painter(this);
    const QRect picture(QPoint(0, 0), m_pictureSize);
    if (m_status == OverallStatus::Active) {
        if (!m_image.isNull()) {
            painter.setTransform(m_transform);
            painter.drawImage(QPoint(0, 0), m_image);
            painter.resetTransform();
        } else {
            // Live, but this label has not been given a frame yet: show an empty screen, not stale widget memory.
            painter.fillRect(picture, Qt::black);
        }
    } else {
        painter.fillRect(picture, Qt::black);
        painter.setPen(Qt::red);
        painter.setFont(m_statusFont);
        painter.drawText(picture, Qt::AlignHCenter | Qt::AlignVCenter, OverallStatus::statusName(m_status));
    }

    const qint64 m = m_paintTimer.nsecsElapsed() / 1000000;
    m_drawTime = (m_drawTime * 59 + m) / 60;
    const qint64 n = m_intervalTimer.nsecsElapsed();
    // Two paints within the same nanosecond tick would divide by zero; keep the previous rate instead.
    if (n > 0)
        m_renderRate = (m_renderRate * 9 + 1000000000.0 / n) / 10;
    m_intervalTimer.restart();

    if (m_showStats) {
        painter.setPen(Qt::red);
        painter.setFont(m_statsFont);
        QRect r = geometry();
        r.setLeft(0);
        r.setTop(50);
        painter.drawText(QRectF(r), statsText(), QTextOption());
    }
}
