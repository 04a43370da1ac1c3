#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <cstdint>

// The simulated unit's command line, parsed into plain values.
struct SimOptions {
    // 16 bytes: the key of a freshly provisioned simulated unit.
    static QByteArray defaultKey();

    QHostAddress streamTo;         // stream at once, without a control connection
    uint32_t divisor = 0;          // frame-rate divisor minus one
    int lossPercent = 0;           // datagrams dropped at random
    bool shuffle = false;          // each frame's lines in random order
    double seconds = 0;            // stop after this long (0 = run until killed)
    uint16_t firstFrame = 0;       // frame number of the first frame sent
    uint32_t seed = 1;             // seed of the loss and shuffle generator
    QByteArray key = defaultKey(); // TLS pre-shared key
    QString writeRaf;              // radio access file to write, then continue
    bool dropAcks = false;         // never acknowledge a request, report nothing unasked
    int reportDelayMs = 120;       // a written dial position is reported back this much later
    bool closeAfterHandshake = false;
    bool provisionClient = false; // store the key in the client's settings, then run as the unit
    double keepaliveTimeout = 15; // seconds without a repeated start before the stream stops
    quint16 controlPort = 4242;
    quint16 streamPort = 1337;
    bool control = true;            // listen on the control port
    bool mdns = true;               // answer mDNS queries for the unit's host name
    int serialIntervalMs = 250;     // pace of the radio's idle serial chatter
    uint32_t flashCrc = 0x5A17C0DE; // reported in da_flash_crc
    QString flash;                  // flash file to boot from (key and da_flash_crc)
    QString dumpFrames;             // folder receiving every sent frame as raw RGB565
    double stallAfter = 0;          // stop sending datagrams after this long streaming (0 = never)

    // Parses arguments (argv including the program name). On failure returns
    // false with a message; "--help" returns false with an empty message.
    static bool parse(const QStringList &arguments, SimOptions &out, QString &message);
    static QString helpText();
};
