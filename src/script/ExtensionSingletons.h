#pragma once

class Midi;
class QQmlEngine;
class ScriptAPI;

namespace ExtensionSingletons {
// Makes api and midi the singletons IC7300 and MIDI of module "com.fernhollow.singletons" 1.0 for this engine. Each
// engine gets its own instances: a process registers the types once, and a registration that handed out one fixed
// instance would serve it to the first engine only and null to every later one. The objects stay owned by the
// caller; the engine never deletes them.
void attach(QQmlEngine *engine, ScriptAPI *api, Midi *midi);
} // namespace ExtensionSingletons
