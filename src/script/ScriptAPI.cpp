#include "script/ScriptAPI.h"

#include <QApplication>
#include <QDebug>
#include <QDial>
#include <QImage>
#include <QMetaEnum>
#include <QUrl>
#include <QWidget>
#include <QtQml>

#include <cmath>
#include <mutex>

namespace {

void registerTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // One class, three imports: a script names the enumerations through whichever module it imports.
        qmlRegisterType<ScriptAPI>("FrontPanelButtons", 1, 0, "FrontPanelButton");
        qmlRegisterType<ScriptAPI>("RelativeEncoders", 1, 0, "RelativeEncoder");
        qmlRegisterType<ScriptAPI>("AbsoluteEncoders", 1, 0, "AbsoluteEncoder");
        qRegisterMetaType<ScriptAPI::FrontPanelButton>();
        qRegisterMetaType<ScriptAPI::RelativeEncoder>();
        qRegisterMetaType<ScriptAPI::AbsoluteEncoder>();
    });
}

template <typename E> QString enumName(int value)
{
    const char *key = QMetaEnum::fromType<E>().valueToKey(value);
    return key ? QString::fromLatin1(key) : QString::number(value);
}

// The first dial with this object name under the application's top-level widgets, in their order.
QDial *findDial(const QString &name)
{
    const QWidgetList tops = QApplication::topLevelWidgets();
    for (QWidget *top : tops) {
        if (auto *dial = qobject_cast<QDial *>(top); dial && dial->objectName() == name)
            return dial;
        if (QDial *dial = top->findChild<QDial *>(name))
            return dial;
    }
    return nullptr;
}

// Turns dial by delta. QDial's setValue clamps even when the dial wraps; a wrapping dial puts its maximum and its
// minimum at the same angle, so a turn past either end comes round at the other.
void turn(QDial *dial, int delta)
{
    const int period = dial->maximum() - dial->minimum();
    int value = dial->value() + delta;
    if (dial->wrapping() && period > 0)
        value = ((value - dial->minimum()) % period + period) % period + dial->minimum();
    dial->setValue(value);
}

} // namespace

ScriptAPI::ScriptAPI(QObject *parent, int tickIntervalMs)
    : QObject(parent), m_relativeDials{{MainDial, QStringLiteral("mainDial")},
                                       {MultiDial, QStringLiteral("multiDial")},
                                       {BandPassInner, QStringLiteral("bpf_in")},
                                       {BandPassOutter, QStringLiteral("bpf_out")}},
      m_absoluteDials{{Volume, QStringLiteral("volume")}, {RFSql, QStringLiteral("rfsql")}}
{
    registerTypes();
    connect(&m_clock, &QTimer::timeout, this, &ScriptAPI::tick);
    if (tickIntervalMs > 0) {
        m_clock.setTimerType(Qt::CoarseTimer);
        m_clock.start(tickIntervalMs);
    }
}

ScriptAPI::~ScriptAPI() = default;

Frame_t *ScriptAPI::takeFrame()
{
    Frame_t *f = m_held;
    m_held = nullptr;
    return f;
}

void ScriptAPI::newBuff(Frame_t *f)
{
    if (m_held)
        emit buffDispose(m_held);
    m_held = f;
}

void ScriptAPI::press(ScriptAPI::FrontPanelButton button, int duration)
{
    const int code = int(button);
    // A key code is 16 bits; anything wider would not make a four-digit bus frame.
    if (code <= 0 || code > 0xFFFF) {
        qWarning().noquote() << "Failed to press button, unrecongized button in call";
        return;
    }
    qInfo().noquote() << QStringLiteral("Button pressed from QML: ") + enumName<FrontPanelButton>(code);
    const QString pressText = QStringLiteral("fe%1fd").arg(code, 4, 16, QLatin1Char('0'));
    QString releaseText = pressText;
    releaseText.replace(4, 2, QStringLiteral("00"));
    const QByteArray release = QByteArray::fromHex(releaseText.toLatin1());
    emit injectData(QByteArray::fromHex(pressText.toLatin1()));
    // Qt refuses a negative interval and would never send the release, leaving the key down on the radio.
    QTimer::singleShot(qMax(0, duration), this, [this, release] { emit injectData(release); });
}

void ScriptAPI::touch(const QJSValue &p, int duration)
{
    const QVariant v = p.toVariant();
    if (v.userType() != QMetaType::QPointF && v.userType() != QMetaType::QPoint) {
        const QString text = QStringLiteral("IC7300.touch: the point must be Qt.point(x, y), not %1").arg(p.toString());
        qWarning().noquote() << text;
        emit scriptError(text);
        return;
    }
    touch(v.toPointF().toPoint(), duration);
}

void ScriptAPI::touch(QPoint p, int duration)
{
    emit injectTouch(p);
    QTimer::singleShot(qMax(0, duration), this, [this] { emit injectTouchRelease(); });
}

void ScriptAPI::encoderAdjust(ScriptAPI::RelativeEncoder e, int ticks)
{
    // |INT_MIN| does not fit an int, and each step is a dial move on the GUI thread.
    if (ticks > kMaxAdjustTicks || ticks < -kMaxAdjustTicks) {
        qWarning().noquote()
            << QStringLiteral("Failed to adjust relative encoder %1, %2 ticks is out of range.").arg(int(e)).arg(ticks);
        return;
    }
    QDial *dial = m_relativeDials.contains(int(e)) ? findDial(m_relativeDials.value(int(e))) : nullptr;
    if (!dial) {
        qWarning().noquote() << QStringLiteral("Failed to adjust relative encoder %1, couldn't locate.").arg(int(e));
        return;
    }
    // Each step stays below half the dial's period, so the accumulator reads its direction right.
    const int step = qMax(1, dial->maximum() / 2 - 1);
    const int count = qAbs(ticks) / step;
    const int size = (ticks > 0) - (ticks < 0);
    const int signedStep = size * step;
    const int fixup = ticks - signedStep * count;
    const int original = dial->value();
    qInfo().noquote() << QStringLiteral(
                             "Adjust relative encoder %1. Original %2, Adjust %3. Steps: %4, Size %5, Fixup %6")
                             .arg(dial->objectName())
                             .arg(original)
                             .arg(ticks)
                             .arg(count)
                             .arg(signedStep)
                             .arg(fixup);
    for (int i = 0; i < count; ++i)
        turn(dial, signedStep);
    turn(dial, fixup);
}

void ScriptAPI::encoderSet(ScriptAPI::AbsoluteEncoder e, double percent)
{
    QDial *dial = m_absoluteDials.contains(int(e)) ? findDial(m_absoluteDials.value(int(e))) : nullptr;
    if (!dial) {
        qWarning().noquote() << QStringLiteral("Failed to adjust absolute encoder %1, couldn't locate.").arg(int(e));
        return;
    }
    // Converting NaN or a value beyond int to int is undefined; a fraction outside 0..1 means an end of the range.
    if (std::isnan(percent)) {
        qWarning().noquote() << QStringLiteral("Failed to adjust absolute encoder %1, not a number.").arg(int(e));
        return;
    }
    const double fraction = qBound(0.0, percent, 1.0);
    const int maximum = dial->maximum();
    const double absolute = maximum * fraction;
    qInfo().noquote() << QStringLiteral("Set absolute encoder %1 to %2 (ABS: %3)")
                             .arg(dial->objectName())
                             .arg(fraction)
                             .arg(absolute);
    dial->setValue(int(absolute));
}

QColor ScriptAPI::pixel(QPoint p)
{
    // Nothing to read yet, or nothing there: a transparent colour no screen pixel can have.
    if (!m_held) {
        qWarning().nospace() << "Pixel color at " << p << " is unknown: no frame received yet";
        return QColor(0, 0, 0, 0);
    }
    if (p.x() < 0 || p.y() < 0 || p.x() >= Frame_t::Width || p.y() >= Frame_t::Height) {
        qWarning().nospace() << "Pixel color at " << p << " is unknown: outside the 480 x 272 screen";
        return QColor(0, 0, 0, 0);
    }
    const QImage view(m_held->pixels.get(), Frame_t::Width, Frame_t::Height, Frame_t::Stride, QImage::Format_RGB16);
    const QColor c = view.pixelColor(p);
    qInfo() << "Pixel color at " << p << "is" << c << ". PTS" << m_held->pts;
    return c;
}

int ScriptAPI::time() const
{
    return int(m_ticks * quint32(kTickMs));
}

void ScriptAPI::schedule(int msDelay, QJSValue callback)
{
    if (!callback.isCallable()) {
        qWarning().noquote() << "Provided callback is not callable, did not schedule";
        return;
    }
    if (m_schedule.size() >= kMaxPendingCallbacks) {
        qWarning().noquote() << "Too many scheduled callbacks, did not schedule";
        return;
    }
    // A delay below one tick (negative ones too) runs at the next tick: only callbacks due exactly now run, so one
    // due in the past would otherwise never run at all.
    const qint64 due = qMax<qint64>(qint64(m_ticks) + msDelay / kTickMs + 1, qint64(m_ticks) + 1);
    m_schedule.insert(quint32(due), callback);
}

void ScriptAPI::dropScheduledCallbacks()
{
    if (!m_schedule.isEmpty())
        qInfo().noquote()
            << QStringLiteral("Dropped %1 scheduled callbacks of the closed extension").arg(m_schedule.size());
    m_schedule.clear();
}

void ScriptAPI::tick()
{
    ++m_ticks;
    // Taken out first: a callback that schedules again lands at a later tick, never in this batch.
    const QList<QJSValue> due = m_schedule.values(m_ticks);
    m_schedule.remove(m_ticks);
    // values() lists the latest insertion first; callbacks run in the order they were scheduled.
    for (auto it = due.crbegin(); it != due.crend(); ++it) {
        QJSValue callback = *it;
        const QJSValue result = callback.call({QJSValue(time())});
        if (result.isError())
            emit scriptError(describeError(result));
    }
}

QString ScriptAPI::describeError(const QJSValue &result)
{
    if (!result.isError())
        return {};
    // The engine does not tell a thrown error's column; 0 stands for "unknown". An interrupted script has no place.
    const QJSValue file = result.property(QStringLiteral("fileName"));
    return QStringLiteral("%1:%2:0: %3")
        .arg(file.isString() ? file.toString() : QStringLiteral("<unknown>"))
        .arg(result.property(QStringLiteral("lineNumber")).toInt())
        .arg(result.toString());
}
