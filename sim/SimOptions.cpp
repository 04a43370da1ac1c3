#include "SimOptions.h"

#include <QCommandLineParser>

namespace {

struct OptionDoc {
    const char *name;
    const char *value;
    const char *help;
};

const OptionDoc kOptions[] = {
    {"stream-to", "ADDR", "Stream the screen to ADDR:1337 at once, without a control connection."},
    {"divisor", "N", "Frame-rate divisor minus one: 60/(N+1) frames per second (default 0)."},
    {"loss", "PERCENT", "Drop this percentage of datagrams at random (default 0)."},
    {"shuffle", nullptr, "Send lines 0..270 of each frame in random order (line 271, which completes a frame, last)."},
    {"seconds", "S", "Exit after S seconds (default: run until stopped)."},
    {"first-frame", "N", "Frame number of the first frame sent (default 0), for wrap tests."},
    {"seed", "N", "Seed of the loss and shuffle generator (default 1)."},
    {"key", "HEX", "The unit's 16-byte pre-shared key as 32 hex digits (default 5651363032302d73696d2d6b65792d31)."},
    {"write-raf", "FILE", "Write the key as a 34-character radio access file to FILE."},
    {"drop-acks", nullptr,
     "Never acknowledge a request and report no register on its own; reads are still answered (fault switch)."},
    {"report-delay", "MS", "Report a written dial position back to every connection after MS ms (default 120)."},
    {"close-after-handshake", nullptr, "Close each control connection right after its TLS handshake."},
    {"provision-client", nullptr,
     "Store the key in the client's settings store and select the saved address 127.0.0.1."},
    {"keepalive-timeout", "S", "Stop streaming when the start write was not repeated for S seconds (default 15)."},
    {"control-port", "PORT", "TCP port of the control channel (default 4242)."},
    {"stream-port", "PORT", "UDP port the screen is sent to (default 1337)."},
    {"no-control", nullptr, "Do not listen on the control port."},
    {"no-mdns", nullptr, "Do not answer mDNS queries."},
    {"serial-interval", "MS", "Interval of the radio's idle serial traffic (default 250)."},
    {"flash-crc", "HEX", "Value reported in da_flash_crc (default 5A17C0DE)."},
    {"flash", "FILE", "Boot from the flash file the emulated USB side writes: key from its record, its image CRC."},
    {"stall-after", "S", "Stop sending datagrams S seconds after the stream first started; control goes on."},
    {"dump-frames", "DIR",
     "Write every frame sent to DIR/frame-<number>.rgb565 (raw, little-endian RGB565); the number, five digits, "
     "counts 60 Hz periods."},
};

bool toUInt(const QString &text, uint32_t max, uint32_t &out, int base = 10)
{
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, base);
    if (!ok || v > max)
        return false;
    out = uint32_t(v);
    return true;
}

} // namespace

QByteArray SimOptions::defaultKey()
{
    return QByteArray::fromHex("5651363032302d73696d2d6b65792d31");
}

QString SimOptions::helpText()
{
    QString text = QStringLiteral("Usage: vq6020-sim [options]\n"
                                  "A simulated VQ6020 unit: TLS-PSK control port, UDP screen stream, mDNS answers.\n"
                                  "Prints a line containing \"vq6020-sim ready\" once it listens or streams.\n\n"
                                  "Options:\n");
    for (const OptionDoc &o : kOptions) {
        QString left = QStringLiteral("  --%1").arg(QLatin1String(o.name));
        if (o.value)
            left += QStringLiteral(" %1").arg(QLatin1String(o.value));
        text += left.leftJustified(30) + QLatin1String(o.help) + QLatin1Char('\n');
    }
    text += QStringLiteral("  -h, --help                  Show this text.\n");
    return text;
}

bool SimOptions::parse(const QStringList &arguments, SimOptions &out, QString &message)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    for (const OptionDoc &o : kOptions)
        parser.addOption(o.value ? QCommandLineOption(o.name, o.help, o.value) : QCommandLineOption(o.name, o.help));
    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return false;
    }
    if (parser.isSet("help")) {
        message.clear();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first());
        return false;
    }
    const auto bad = [&message](const char *name, const QString &value) {
        message = QStringLiteral("Bad value for --%1: %2").arg(QLatin1String(name), value);
        return false;
    };
    uint32_t u = 0;
    if (parser.isSet("stream-to")) {
        out.streamTo = QHostAddress(parser.value("stream-to"));
        if (out.streamTo.isNull() || out.streamTo.protocol() != QAbstractSocket::IPv4Protocol)
            return bad("stream-to", parser.value("stream-to"));
    }
    if (parser.isSet("divisor")) {
        if (!toUInt(parser.value("divisor"), 0xFFFFFFFFu, out.divisor))
            return bad("divisor", parser.value("divisor"));
    }
    if (parser.isSet("loss")) {
        if (!toUInt(parser.value("loss"), 100, u))
            return bad("loss", parser.value("loss"));
        out.lossPercent = int(u);
    }
    if (parser.isSet("seconds")) {
        bool ok = false;
        out.seconds = parser.value("seconds").toDouble(&ok);
        if (!ok || out.seconds < 0)
            return bad("seconds", parser.value("seconds"));
    }
    if (parser.isSet("first-frame")) {
        if (!toUInt(parser.value("first-frame"), 65535, u))
            return bad("first-frame", parser.value("first-frame"));
        out.firstFrame = uint16_t(u);
    }
    if (parser.isSet("seed") && !toUInt(parser.value("seed"), 0xFFFFFFFFu, out.seed))
        return bad("seed", parser.value("seed"));
    if (parser.isSet("key")) {
        const QString hex = parser.value("key");
        const QByteArray key = QByteArray::fromHex(hex.toLatin1());
        if (hex.size() != 32 || key.size() != 16 || key.toHex() != hex.toLower().toLatin1())
            return bad("key", hex);
        out.key = key;
    }
    out.flash = parser.value("flash");
    if (parser.isSet("keepalive-timeout")) {
        bool ok = false;
        out.keepaliveTimeout = parser.value("keepalive-timeout").toDouble(&ok);
        if (!ok || out.keepaliveTimeout <= 0)
            return bad("keepalive-timeout", parser.value("keepalive-timeout"));
    }
    if (parser.isSet("control-port")) {
        if (!toUInt(parser.value("control-port"), 65535, u) || u == 0)
            return bad("control-port", parser.value("control-port"));
        out.controlPort = quint16(u);
    }
    if (parser.isSet("stream-port")) {
        if (!toUInt(parser.value("stream-port"), 65535, u) || u == 0)
            return bad("stream-port", parser.value("stream-port"));
        out.streamPort = quint16(u);
    }
    if (parser.isSet("serial-interval")) {
        if (!toUInt(parser.value("serial-interval"), 60000, u) || u < 10)
            return bad("serial-interval", parser.value("serial-interval"));
        out.serialIntervalMs = int(u);
    }
    if (parser.isSet("report-delay")) {
        if (!toUInt(parser.value("report-delay"), 10000, u))
            return bad("report-delay", parser.value("report-delay"));
        out.reportDelayMs = int(u);
    }
    if (parser.isSet("stall-after")) {
        bool ok = false;
        out.stallAfter = parser.value("stall-after").toDouble(&ok);
        if (!ok || out.stallAfter <= 0)
            return bad("stall-after", parser.value("stall-after"));
    }
    if (parser.isSet("flash-crc") && !toUInt(parser.value("flash-crc"), 0xFFFFFFFFu, out.flashCrc, 16))
        return bad("flash-crc", parser.value("flash-crc"));
    out.shuffle = parser.isSet("shuffle");
    out.writeRaf = parser.value("write-raf");
    out.dropAcks = parser.isSet("drop-acks");
    out.closeAfterHandshake = parser.isSet("close-after-handshake");
    out.provisionClient = parser.isSet("provision-client");
    out.control = !parser.isSet("no-control");
    out.mdns = !parser.isSet("no-mdns");
    out.dumpFrames = parser.value("dump-frames");
    return true;
}
