#include "app/Frame.h"
#include "app/StatsClient.h"
#include "ui/RenderLabel.h"
#include "ui/RotaryAccumulator.h"

#include <QDir>
#include <QPixmap>
#include <QSignalSpy>
#include <QWheelEvent>
#include <QtTest>

namespace {
constexpr uint16_t kRed565 = 0xF800;
constexpr uint16_t kGreen565 = 0x07E0;
constexpr uint16_t kBlue565 = 0x001F;
constexpr uint16_t kWhite565 = 0xFFFF;

// Quadrants: red top-left, green top-right, blue bottom-left, white bottom-right.
void paintQuadrants(Frame_t &f)
{
    auto *px = reinterpret_cast<uint16_t *>(f.pixels.get());
    for (int y = 0; y < Frame_t::Height; ++y)
        for (int x = 0; x < Frame_t::Width; ++x) {
            const bool right = x >= Frame_t::Width / 2;
            const bool bottom = y >= Frame_t::Height / 2;
            px[y * Frame_t::Width + x] = bottom ? (right ? kWhite565 : kBlue565) : (right ? kGreen565 : kRed565);
        }
}

void fill(Frame_t &f, uint16_t v)
{
    auto *px = reinterpret_cast<uint16_t *>(f.pixels.get());
    std::fill(px, px + Frame_t::Width * Frame_t::Height, v);
}

QImage grabbed(RenderLabel &label, const QString &name)
{
    const QImage img = label.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QString dir = qEnvironmentVariable("VQ6020_BINARY_DIR", QDir::currentPath()) + "/screenshots";
    QDir().mkpath(dir);
    img.save(dir + "/render_label_" + name + ".png");
    return img;
}

bool isRed(QRgb c)
{
    return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60;
}

// Bounding box of the red pixels inside r.
QRect redBox(const QImage &img, const QRect &r)
{
    int minX = INT_MAX, minY = INT_MAX, maxX = -1, maxY = -1;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (isRed(img.pixel(x, y))) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
            }
    return maxX < 0 ? QRect() : QRect(QPoint(minX, minY), QPoint(maxX, maxY));
}

void sendMouse(QWidget *w, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent ev(type, pos, w->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &ev);
}

QList<QPoint> touches(const QSignalSpy &spy)
{
    QList<QPoint> out;
    for (const auto &args : spy)
        out << args.at(0).toPoint();
    return out;
}
} // namespace

class TestRenderLabel : public QObject
{
    Q_OBJECT
private slots:
    void pressMapsToRadio_data();
    void pressMapsToRadio();
    void pressAndRelease_data();
    void pressAndRelease();
    void resizeReportsWidgetSize();
    void wheelForwarded();
    void setFrameHandsBackPrevious();
    void statusTextOnBlack_data();
    void statusTextOnBlack();
    void activeShowsFrameScaled_data();
    void activeShowsFrameScaled();
    void statsOverlay();
    void accumulator_data();
    void accumulator();
};

void TestRenderLabel::pressMapsToRadio_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<QList<QPoint>>("expected");

    QTest::newRow("centre at 2x") << QSize(960, 600) << QSize(960, 544) << QPoint(480, 300)
                                  << QList<QPoint>{{240, 150}};
    QTest::newRow("below the picture") << QSize(960, 600) << QSize(960, 544) << QPoint(500, 560) << QList<QPoint>{};
    QTest::newRow("exact bottom-right edge")
        << QSize(960, 600) << QSize(960, 544) << QPoint(960, 544) << QList<QPoint>{{480, 272}};
    QTest::newRow("one below the edge") << QSize(960, 600) << QSize(960, 544) << QPoint(10, 545) << QList<QPoint>{};
    QTest::newRow("top-left pixel") << QSize(960, 600) << QSize(960, 544) << QPoint(1, 1) << QList<QPoint>{{0, 0}};
    QTest::newRow("wide widget: right of picture")
        << QSize(1200, 272) << QSize(480, 272) << QPoint(481, 10) << QList<QPoint>{};
    QTest::newRow("wide widget: inside") << QSize(1200, 272) << QSize(480, 272) << QPoint(479, 271)
                                         << QList<QPoint>{{479, 271}};
    // 700 / 480 is not a whole scale: coordinates are truncated, never rounded up.
    QTest::newRow("fractional scale truncates")
        << QSize(700, 700) << QSize(700, 396) << QPoint(699, 395) << QList<QPoint>{{479, 271}};
    QTest::newRow("half size") << QSize(240, 136) << QSize(240, 136) << QPoint(121, 67) << QList<QPoint>{{242, 134}};
}

void TestRenderLabel::pressMapsToRadio()
{
    QFETCH(QSize, widget);
    QFETCH(QSize, picture);
    QFETCH(QPoint, press);
    QFETCH(QList<QPoint>, expected);

    RenderLabel label;
    label.resize(widget);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QCOMPARE(label.pictureSize(), picture);
    QSignalSpy touch(&label, &RenderLabel::touch);
    QSignalSpy release(&label, &RenderLabel::release);
    QTest::mousePress(&label, Qt::LeftButton, Qt::NoModifier, press);
    QCOMPARE(touches(touch), expected);
    QTest::mouseRelease(&label, Qt::LeftButton, Qt::NoModifier, press);
    QCOMPARE(release.count(), expected.isEmpty() ? 0 : 1);
}

void TestRenderLabel::pressAndRelease_data()
{
    QTest::addColumn<QString>("script"); // p = press, d = drag with button, h = hover, r = release; each at its point
    QTest::addColumn<QList<QPoint>>("points");
    QTest::addColumn<QList<QPoint>>("touches");
    QTest::addColumn<int>("releases");

    QTest::newRow("release alone") << "r" << QList<QPoint>{{10, 10}} << QList<QPoint>{} << 0;
    QTest::newRow("press then release") << "pr" << QList<QPoint>{{10, 10}, {10, 10}} << QList<QPoint>{{5, 5}} << 1;
    QTest::newRow("second release silent")
        << "prr" << QList<QPoint>{{10, 10}, {10, 10}, {10, 10}} << QList<QPoint>{{5, 5}} << 1;
    QTest::newRow("ignored press then release") << "pr" << QList<QPoint>{{10, 580}, {10, 580}} << QList<QPoint>{} << 0;
    QTest::newRow("drag follows the finger") << "pddr" << QList<QPoint>{{10, 10}, {20, 30}, {40, 50}, {40, 50}}
                                             << QList<QPoint>{{5, 5}, {10, 15}, {20, 25}} << 1;
    QTest::newRow("hover touches nothing") << "hh" << QList<QPoint>{{10, 10}, {20, 20}} << QList<QPoint>{} << 0;
    // A press outside followed by a drag into the picture starts the touch there.
    QTest::newRow("drag in from below") << "pdr" << QList<QPoint>{{10, 580}, {10, 100}, {10, 100}}
                                        << QList<QPoint>{{5, 50}} << 1;
}

void TestRenderLabel::pressAndRelease()
{
    QFETCH(QString, script);
    QFETCH(QList<QPoint>, points);
    QFETCH(QList<QPoint>, touches);
    QFETCH(int, releases);

    RenderLabel label;
    label.resize(960, 600);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QList<QString> order;
    connect(&label, &RenderLabel::touch, this, [&] { order << "touch"; });
    connect(&label, &RenderLabel::release, this, [&] { order << "release"; });
    QSignalSpy touchSpy(&label, &RenderLabel::touch);
    QSignalSpy releaseSpy(&label, &RenderLabel::release);
    for (int i = 0; i < script.size(); ++i) {
        const QPoint p = points.at(i);
        switch (script.at(i).toLatin1()) {
        case 'p': sendMouse(&label, QEvent::MouseButtonPress, p, Qt::LeftButton); break;
        case 'd': sendMouse(&label, QEvent::MouseMove, p, Qt::LeftButton); break;
        case 'h': sendMouse(&label, QEvent::MouseMove, p, Qt::NoButton); break;
        case 'r': sendMouse(&label, QEvent::MouseButtonRelease, p, Qt::NoButton); break;
        }
    }
    QCOMPARE(::touches(touchSpy), touches);
    QCOMPARE(releaseSpy.count(), releases);
    if (releases > 0)
        QCOMPARE(order.last(), QString("release"));
}

void TestRenderLabel::resizeReportsWidgetSize()
{
    RenderLabel label;
    QSignalSpy spy(&label, &RenderLabel::resized);
    label.resize(700, 700);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QVERIFY(!spy.isEmpty());
    QCOMPARE(spy.last().at(0).toSize(), QSize(700, 700));
    QCOMPARE(label.pictureSize(), QSize(700, 396));
}

void TestRenderLabel::wheelForwarded()
{
    RenderLabel label;
    label.resize(480, 272);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    int delta = 0;
    connect(&label, &RenderLabel::wheeld, this, [&](QWheelEvent *e) { delta = e->angleDelta().y(); });
    QWheelEvent ev(QPointF(100, 100), QPointF(label.mapToGlobal(QPoint(100, 100))), QPoint(), QPoint(0, -120),
                   Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    ev.ignore();
    QApplication::sendEvent(&label, &ev);
    QCOMPARE(delta, -120);
    QVERIFY(ev.isAccepted());
}

void TestRenderLabel::setFrameHandsBackPrevious()
{
    RenderLabel label;
    Frame_t a, b;
    QCOMPARE(label.setFrame(&a), static_cast<Frame_t *>(nullptr));
    QCOMPARE(label.heldFrame(), &a);
    QCOMPARE(label.setFrame(&b), &a);
    QCOMPARE(label.setFrame(&b), &b);
    QCOMPARE(label.heldFrame(), &b);
}

void TestRenderLabel::statusTextOnBlack_data()
{
    QTest::addColumn<bool>("setStatus");
    QTest::addColumn<OverallStatus::Status>("status");
    QTest::addColumn<int>("minTextWidth");

    QTest::newRow("initially Invalid") << false << OverallStatus::Invalid << 150;
    QTest::newRow("Disconnected") << true << OverallStatus::Disconnected << 300;
    QTest::newRow("Sleeping") << true << OverallStatus::Sleeping << 200;
    QTest::newRow("RadioOffReady") << true << OverallStatus::RadioOffReady << 350;
    QTest::newRow("Active before any frame: black, no text") << true << OverallStatus::Active << 0;
}

void TestRenderLabel::statusTextOnBlack()
{
    QFETCH(bool, setStatus);
    QFETCH(OverallStatus::Status, status);
    QFETCH(int, minTextWidth);

    RenderLabel label;
    label.resize(960, 600);
    // The held frame is bright white: none of it may show through while the link is not Active.
    Frame_t f;
    fill(f, kWhite565);
    if (status != OverallStatus::Active)
        label.setFrame(&f);
    if (setStatus)
        label.changedStatus(status);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    const QImage img = grabbed(label, QString("status_%1").arg(OverallStatus::statusName(status)));

    const QRect picture(0, 0, 960, 544);
    int black = 0, red = 0, white = 0;
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); x += 2) {
            const QRgb c = img.pixel(x, y);
            black += c == qRgb(0, 0, 0);
            red += isRed(c);
            white += c == qRgb(255, 255, 255);
        }
    QCOMPARE(white, 0);
    QVERIFY2(black > (480 * 272) * 8 / 10, qPrintable(QString::number(black)));
    if (minTextWidth == 0) {
        QCOMPARE(red, 0);
        return;
    }
    QVERIFY(red > 200);
    // The name is centred in the picture, not in the widget.
    const QRect box = redBox(img, picture);
    QVERIFY2(box.width() >= minTextWidth, qPrintable(QString::number(box.width())));
    QVERIFY2(std::abs(box.center().x() - 480) <= 12, qPrintable(QString::number(box.center().x())));
    QVERIFY2(std::abs(box.center().y() - 272) <= 20, qPrintable(QString::number(box.center().y())));
}

void TestRenderLabel::activeShowsFrameScaled_data()
{
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<int>("scale2"); // picture scale x 2

    QTest::newRow("1x") << QSize(480, 272) << 2;
    QTest::newRow("2x, extra height unused") << QSize(960, 600) << 4;
    QTest::newRow("2x, extra width unused") << QSize(1100, 544) << 4;
}

void TestRenderLabel::activeShowsFrameScaled()
{
    QFETCH(QSize, widget);
    QFETCH(int, scale2);

    RenderLabel label;
    label.resize(widget);
    Frame_t f;
    paintQuadrants(f);
    label.setFrame(&f);
    label.changedStatus(OverallStatus::Active);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    const QImage img = grabbed(label, QString("active_%1x%2").arg(widget.width()).arg(widget.height()));

    auto at = [&](int rx, int ry) { return img.pixel(rx * scale2 / 2, ry * scale2 / 2); };
    QCOMPARE(at(60, 30), qRgb(255, 0, 0));
    QCOMPARE(at(420, 30), qRgb(0, 255, 0));
    QCOMPARE(at(60, 240), qRgb(0, 0, 255));
    QCOMPARE(at(420, 240), qRgb(255, 255, 255));
    // Inner corners of the quadrants: the boundary lands where the scale puts it.
    QCOMPARE(at(239, 135), qRgb(255, 0, 0));
    QCOMPARE(at(240, 136), qRgb(255, 255, 255));
    QCOMPARE(at(479, 271), qRgb(255, 255, 255));
    QCOMPARE(at(0, 0), qRgb(255, 0, 0));
    QVERIFY(redBox(img, QRect(0, 50, 400, 100)).isValid()); // the red quadrant itself
}

void TestRenderLabel::statsOverlay()
{
    StatsClient::instance();
    // 30 frames and 1 MiB x 1.25 in one 100 ms sample: one-second averages of 30 fps and 10 Mbps.
    for (int i = 0; i < 30; ++i)
        StatsClient::frameReceived();
    StatsClient::bytesReceived(1310720);
    QTRY_COMPARE_WITH_TIMEOUT(StatsClient::framesPerSecondX100(), 3000, 1000);
    QCOMPARE(StatsClient::networkBytesPerSecondX100(), 131072000);
    g_framesLostNoBuffer = 7;

    RenderLabel label;
    label.resize(960, 600);
    QVERIFY(label.statsText().endsWith("Frame: -, PTS:     -"));
    Frame_t f;
    fill(f, 0x0000);
    f.frameNumber = 65535;
    f.pts = 131071;
    label.setFrame(&f);
    label.changedStatus(OverallStatus::Active);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QImage off = grabbed(label, "stats_off");
    QVERIFY(!redBox(off, QRect(0, 0, 960, 544)).isValid());

    label.showStats(true);
    label.repaint();
    const QImage on = grabbed(label, "stats_on");
    const QRect box = redBox(on, QRect(0, 0, 960, 544));
    QVERIFY(box.isValid());
    QVERIFY2(box.top() >= 50 && box.top() < 70, qPrintable(QString::number(box.top())));
    QVERIFY2(box.left() < 10, qPrintable(QString::number(box.left())));
    QVERIFY2(box.height() > 60, qPrintable(QString::number(box.height()))); // five lines of text

    const QString text = label.statsText();
    const QString expected =
        QString::asprintf("Network:       Renderer:\nFPS: %8.2f FPS: %5.2f\nMbps:%8.2f Draw:%5.2f\n"
                          "Frames Lost, No Buffer: 7\nFrame: 65535, PTS: 131071",
                          30.0, label.renderRate(), 10.0, label.drawTime());
    QCOMPARE(text, expected);
    QVERIFY(text.contains("FPS:    30.00 FPS:"));
    QVERIFY(text.contains("Mbps:   10.00 Draw:"));
    QVERIFY(label.renderRate() > 0);

    f.pts = 12;
    QVERIFY(label.statsText().endsWith("Frame: 65535, PTS:    12"));
    g_framesLostNoBuffer = 0;
}

void TestRenderLabel::accumulator_data()
{
    QTest::addColumn<int>("period");
    QTest::addColumn<QList<QList<int>>>("batches"); // inputs given between two ticks
    QTest::addColumn<QList<int>>("outputs");        // what each batch yields at the next tick; 0 = nothing

    QTest::newRow("19: 0 -> 18 is one step back") << 19 << QList<QList<int>>{{0, 18}} << QList<int>{-1};
    QTest::newRow("19: 0, 5, 10 in one period") << 19 << QList<QList<int>>{{0, 5, 10}} << QList<int>{10};
    QTest::newRow("19: back and forth nets nothing") << 19 << QList<QList<int>>{{5, 0}} << QList<int>{0};
    QTest::newRow("19: forward over the wrap") << 19 << QList<QList<int>>{{17}, {1}} << QList<int>{-2, 3};
    QTest::newRow("0: raw differences") << 0 << QList<QList<int>>{{0, 350}, {100}} << QList<int>{350, -250};
    QTest::newRow("359: 359 -> 0 is no step") << 359 << QList<QList<int>>{{1}, {359}, {0}} << QList<int>{1, -1, 0};
    QTest::newRow("359: 358 -> 2 is three steps") << 359 << QList<QList<int>>{{358}, {2}} << QList<int>{-1, 3};
    QTest::newRow("359: half a turn forward") << 359 << QList<QList<int>>{{179}} << QList<int>{179};
    QTest::newRow("359: just past half is backward") << 359 << QList<QList<int>>{{180}} << QList<int>{-179};
}

void TestRenderLabel::accumulator()
{
    QFETCH(int, period);
    QFETCH(QList<QList<int>>, batches);
    QFETCH(QList<int>, outputs);

    RotaryAccumulator acc;
    acc.setMax(period);
    QSignalSpy spy(&acc, &RotaryAccumulator::output);
    for (int b = 0; b < batches.size(); ++b) {
        for (int v : batches.at(b))
            acc.input(v);
        // Everything given between two ticks comes out as one number at the next tick, or not at all.
        if (outputs.at(b) != 0) {
            QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 1000);
            QCOMPARE(spy.takeFirst().at(0).toInt(), outputs.at(b));
        }
        QTest::qWait(80);
        QCOMPARE(spy.count(), 0);
    }
}

QTEST_MAIN(TestRenderLabel)
#include "tst_RenderLabel.moc"
