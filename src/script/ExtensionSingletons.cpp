#include "script/ExtensionSingletons.h"

#include "script/Midi.h"
#include "script/ScriptAPI.h"

#include <QPointer>
#include <QQmlEngine>
#include <QtQml>

#include <mutex>

namespace {

constexpr char kApiProperty[] = "_vq6020_IC7300";
constexpr char kMidiProperty[] = "_vq6020_MIDI";

QObject *instanceFor(QQmlEngine *engine, const char *property)
{
    QObject *object = engine->property(property).value<QPointer<QObject>>().data();
    if (object)
        QQmlEngine::setObjectOwnership(object, QQmlEngine::CppOwnership);
    return object;
}

} // namespace

void ExtensionSingletons::attach(QQmlEngine *engine, ScriptAPI *api, Midi *midi)
{
    static std::once_flag once;
    std::call_once(once, [] {
        qmlRegisterSingletonType<ScriptAPI>(
            "com.fernhollow.singletons", 1, 0, "IC7300",
            +[](QQmlEngine *e, QJSEngine *) { return instanceFor(e, kApiProperty); });
        qmlRegisterSingletonType<Midi>(
            "com.fernhollow.singletons", 1, 0, "MIDI",
            +[](QQmlEngine *e, QJSEngine *) { return instanceFor(e, kMidiProperty); });
    });
    engine->setProperty(kApiProperty, QVariant::fromValue(QPointer<QObject>(api)));
    engine->setProperty(kMidiProperty, QVariant::fromValue(QPointer<QObject>(midi)));
}
