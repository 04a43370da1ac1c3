#pragma once

#include <QByteArray>
#include <QString>

// Does for the client what provisioning a real unit over USB does: stores the
// unit's key under NET_PSK in the client's settings store (the one the
// environment selects) and points the saved-address strategy at the unit.
namespace ClientProvisioning {
void provision(const QByteArray &key, const QString &address);
}
