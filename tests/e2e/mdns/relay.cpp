// A relay's advertisement on its own, as a process whose CPU time can be measured: the host
// name and the relay service, with every log line on standard output.
#include "app/Logging.h"
#include "discovery/OfferProxy.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(messageHandler);
    OfferProxy relay;
    relay.offer();
    return app.exec();
}
