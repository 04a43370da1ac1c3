#pragma once

#include <QString>

#include <functional>

// Every 5 s, checks the key stored under NET_PSK: a key that is not 16 bytes
// long or is on the blacklist is reported once in an error dialog and removed
// from the settings. Process-wide; the first call starts it, later calls check.
namespace StoredKeyCheck {

constexpr int kPeriodMs = 5000;

void checkStoredKey();

// Shows a failure text to the user: a new parentless error-message dialog
// unless replaced.
using Reporter = std::function<void(const QString &)>;
void setReporter(Reporter reporter);

} // namespace StoredKeyCheck
