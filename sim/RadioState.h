#pragma once

#include <QByteArray>
#include <QList>
#include <QPoint>
#include <QString>

#include <cstdint>

// Everything the simulated radio shows on its screen. The picture is a pure
// function of this state and the frame number, so a test holding the same state
// can compute exactly the frame the unit sent.
struct RadioState {
    bool powered = true;
    uint64_t frequencyHz = 14074000;
    // Operating mode label; the P.AMP key cycles the preamp, the Multi key the mode.
    int modeIndex = 0;
    int preamp = 0;
    // Keys that latch an on/off indicator (NOTCH, NB, NR, ...), by 16-bit key code.
    QList<uint16_t> latched;
    // The key currently held down on the front-panel bus (0 = none).
    uint16_t heldKey = 0;
    int32_t multiDial = 0;
    int32_t bpfInner = 0;
    int32_t bpfOuter = 0;
    uint8_t volume = 0;
    uint8_t rfSql = 128;
    // Last touch, in screen coordinates; touching = a touch not yet released.
    bool touching = false;
    QPoint touch;

    static QStringList modeNames();
    QString modeName() const;
    bool isLatched(uint16_t code) const { return latched.contains(code); }

    bool operator==(const RadioState &o) const;
    bool operator!=(const RadioState &o) const { return !(*this == o); }
};

// One key of the radio's front panel: its 16-bit code (group << 8 | mask) and the
// short label the simulated screen shows for it.
struct PanelKey {
    uint16_t code;
    const char *label;
};

// The 25 keys of the front panel, in code order.
const QList<PanelKey> &panelKeys();
// Label of a key code, or an empty string for codes that are no key.
QString panelKeyLabel(uint16_t code);

// What a front-panel bus frame did to the radio, for its own serial report.
struct BusEffect {
    enum Kind { None, Touch, TouchRelease, KeyPress, KeyRelease, Volume, RfSql } kind = None;
    QPoint point;
    uint16_t key = 0;
    uint8_t level = 0;
};

// Applies front-panel bus bytes (one or more FE ... FD frames) to the radio.
// Unknown or malformed frames are skipped; returns what each frame did.
QList<BusEffect> applyBusBytes(RadioState &state, const QByteArray &bytes);

// Frequency step per main-dial detent.
inline constexpr int kMainDialStepHz = 10;
