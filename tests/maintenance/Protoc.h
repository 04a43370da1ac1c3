#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// protoc as an independent peer for the configuration record's wire format.
namespace Protoc {

inline QByteArray run(const QString &mode, const QByteArray &input, bool *ok)
{
    const QString protoDir = qEnvironmentVariable("VQ6020_SOURCE_DIR") + QStringLiteral("/src/protocol");
    QProcess p;
    p.start(QStringLiteral("protoc"),
            {QStringLiteral("--proto_path=") + protoDir, mode + QStringLiteral("=UserConfiguration"),
             protoDir + QStringLiteral("/config.proto")});
    p.write(input);
    p.closeWriteChannel();
    *ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return p.readAllStandardOutput();
}

// Text format to a length-delimited record.
inline QByteArray encodeDelimited(const QByteArray &text, bool *ok)
{
    QByteArray message = run(QStringLiteral("--encode"), text, ok);
    QByteArray prefix;
    for (quint32 n = quint32(message.size());; n >>= 7) {
        prefix += char((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
        if (n <= 0x7F)
            break;
    }
    return prefix + message;
}

// A length-delimited record at the start of bytes, as text.
inline QString decodeDelimited(const QByteArray &bytes, bool *ok)
{
    int length = 0, shift = 0, at = 0;
    while (at < bytes.size()) {
        const int b = static_cast<unsigned char>(bytes[at++]);
        length |= (b & 0x7F) << shift;
        shift += 7;
        if (!(b & 0x80))
            break;
    }
    return QString::fromUtf8(run(QStringLiteral("--decode"), bytes.mid(at, length), ok));
}

} // namespace Protoc
