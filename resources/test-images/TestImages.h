#pragma once

#include <QByteArray>
#include <QString>

// The test images linked into tests, the benchmark and the demo. They are
// enciphered under a passphrase of their own, which the application does not
// know: in the application they do not open, and Blobs built with this
// passphrase marks them as test content, which is never written to a real bridge.
namespace TestImages {

QByteArray passphrase();
// Folder holding the enciphered files and their .size companions.
QString directory();
constexpr int kGatewareSize = 700587;
constexpr int kFirmwareSize = 824108;

} // namespace TestImages
