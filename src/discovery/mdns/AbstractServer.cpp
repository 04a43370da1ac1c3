#include "discovery/mdns/AbstractServer.h"

namespace QMdnsEngine {

AbstractServer::AbstractServer(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<QMdnsEngine::Message>();
}

} // namespace QMdnsEngine
