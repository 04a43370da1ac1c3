// vq6020-sim: a simulated VQ6020 unit for demos and tests.
//
// It draws a synthetic radio screen and streams it as the unit does (966-byte
// UDP datagrams, one line each, to port 1337), serves the TLS-PSK control port
// on 4242 (register file, acknowledgements, register reports, serial traffic,
// front-panel injection, power key) and answers mDNS queries for the unit's
// host name. Once it listens (or streams) it prints a line containing
// "vq6020-sim ready".
//
// Options (also printed by --help):
//   --stream-to ADDR          stream to ADDR:1337 at once, without a control connection
//   --divisor N               60/(N+1) frames per second (default 0)
//   --loss PERCENT            drop this share of datagrams at random
//   --shuffle                 send lines 0..270 of each frame in random order, line 271 last
//   --seconds S               exit after S seconds
//   --first-frame N           frame number of the first frame (wrap tests)
//   --seed N                  seed of the loss and shuffle generator
//   --key HEX                 16-byte pre-shared key, 32 hex digits
//                             (default 5651363032302d73696d2d6b65792d31)
//   --write-raf FILE          write the key as a radio access file
//   --drop-acks               never acknowledge, report nothing unasked (reads are still answered)
//   --report-delay MS         report a written dial position back to every connection MS ms later
//   --close-after-handshake   close each control connection after its handshake
//   --provision-client        store the key and the saved address 127.0.0.1 in the client's settings
//   --keepalive-timeout S     stop streaming when the start write was not repeated for S s (default 15)
//   --control-port PORT       control port (default 4242)
//   --stream-port PORT        destination UDP port (default 1337)
//   --no-control, --no-mdns   leave out the control port or the mDNS responder
//   --serial-interval MS      pace of the radio's idle serial traffic (default 250)
//   --flash-crc HEX           value of da_flash_crc
//   --flash FILE              boot from FILE: key from its configuration record, da_flash_crc its image's CRC
//   --stall-after S           stop sending datagrams S s after the stream first started (fault switch)
//   --dump-frames DIR         write every frame sent as DIR/frame-<n>.rgb565
#include "FlashFile.h"
#include "SimOptions.h"
#include "SimUnit.h"
#include "app/Logging.h"

#include <QGuiApplication>
#include <QTextStream>
#include <QTimer>

int main(int argc, char *argv[])
{
    // The screen is drawn into an image; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("vq6020-sim"));
    qInstallMessageHandler(messageHandler);

    SimOptions options;
    QString message;
    if (!SimOptions::parse(app.arguments(), options, message)) {
        if (message.isEmpty()) {
            QTextStream(stdout) << SimOptions::helpText();
            return 0;
        }
        QTextStream(stderr) << message << "\n\n" << SimOptions::helpText();
        return 2;
    }
    if (!options.flash.isEmpty() && !FlashFile::boot(options.flash, options, &message)) {
        QTextStream(stderr) << message << "\n";
        return 1;
    }
    SimUnit unit(options);
    if (!unit.start())
        return 1;
    if (!options.flash.isEmpty())
        FlashFile::watch(options.flash, &unit);
    if (options.seconds > 0)
        QTimer::singleShot(int(options.seconds * 1000), &app, &QCoreApplication::quit);
    return app.exec();
}
