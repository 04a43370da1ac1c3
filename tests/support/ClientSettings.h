#pragma once

#include <QByteArray>
#include <QString>

namespace ClientSettings {
// Clears the client's settings store and leaves one way to the unit: the saved
// address. The key is stored under NET_PSK unless it is empty (no key at all).
void useSavedAddressOnly(const QByteArray &key, const QString &address = QStringLiteral("127.0.0.1"));
} // namespace ClientSettings
