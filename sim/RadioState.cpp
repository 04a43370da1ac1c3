#include "RadioState.h"

#include <QStringList>

namespace {

constexpr uint8_t kFrameStart = 0xFE;
constexpr uint8_t kFrameEnd = 0xFD;
constexpr uint8_t kCmdTouch = 0x13;
constexpr uint8_t kCmdVolume = 0x1E;
constexpr uint8_t kCmdRfSql = 0x1F;
constexpr int kTouchReleased = 9999;

constexpr uint16_t kKeyPreamp = 0x0E01;
constexpr uint16_t kKeyMulti = 0x1004;
constexpr uint16_t kKeyMemUp = 0x0F04;
constexpr uint16_t kKeyMemDown = 0x0F08;
constexpr uint16_t kKeyClear = 0x0F40;

// Keys whose press toggles an indicator on the screen.
constexpr uint16_t kLatchingKeys[] = {0x0D01, 0x0D02, 0x0D04, 0x0E02, 0x0E04, 0x0E08, 0x0E20,
                                      0x0E40, 0x0F01, 0x0F02, 0x0F10, 0x0F20, 0x0F80, 0x0D80};

bool isLatching(uint16_t code)
{
    for (uint16_t k : kLatchingKeys)
        if (k == code)
            return true;
    return false;
}

void pressKey(RadioState &s, uint16_t code)
{
    s.heldKey = code;
    if (isLatching(code)) {
        if (s.latched.contains(code))
            s.latched.removeAll(code);
        else
            s.latched.append(code);
    } else if (code == kKeyPreamp) {
        s.preamp = (s.preamp + 1) % 3;
    } else if (code == kKeyMulti) {
        s.modeIndex = (s.modeIndex + 1) % RadioState::modeNames().size();
    } else if (code == kKeyMemUp) {
        s.frequencyHz += 1000;
    } else if (code == kKeyMemDown) {
        if (s.frequencyHz > 1000)
            s.frequencyHz -= 1000;
    } else if (code == kKeyClear) {
        s.latched.clear();
    }
}

} // namespace

QStringList RadioState::modeNames()
{
    static const QStringList names{"USB", "LSB", "CW", "RTTY", "AM", "FM"};
    return names;
}

QString RadioState::modeName() const
{
    const QStringList names = modeNames();
    return names.value(modeIndex % names.size());
}

bool RadioState::operator==(const RadioState &o) const
{
    return powered == o.powered && frequencyHz == o.frequencyHz && modeIndex == o.modeIndex && preamp == o.preamp &&
           latched == o.latched && heldKey == o.heldKey && multiDial == o.multiDial && bpfInner == o.bpfInner &&
           bpfOuter == o.bpfOuter && volume == o.volume && rfSql == o.rfSql && touching == o.touching &&
           touch == o.touch;
}

const QList<PanelKey> &panelKeys()
{
    static const QList<PanelKey> keys{
        {0x0D01, "TX"},     {0x0D02, "TUNER"}, {0x0D04, "VOX"},   {0x0D08, "MENU"},  {0x0D10, "FUNC"},
        {0x0D20, "MSCOPE"}, {0x0D40, "QUICK"}, {0x0D80, "XFC"},   {0x0E01, "P.AMP"}, {0x0E02, "NOTCH"},
        {0x0E04, "NB"},     {0x0E08, "NR"},    {0x0E10, "EXIT"},  {0x0E20, "TUNE"},  {0x0E40, "SPLCK"},
        {0x0E80, "MPAD"},   {0x0F01, "A/B"},   {0x0F02, "V/M"},   {0x0F04, "M-UP"},  {0x0F08, "M-DN"},
        {0x0F10, "RIT"},    {0x0F20, "DTX"},   {0x0F40, "CLEAR"}, {0x0F80, "SPLIT"}, {0x1004, "MULTI"},
    };
    return keys;
}

QString panelKeyLabel(uint16_t code)
{
    for (const PanelKey &k : panelKeys())
        if (k.code == code)
            return QString::fromLatin1(k.label);
    return QString();
}

QList<BusEffect> applyBusBytes(RadioState &state, const QByteArray &bytes)
{
    QList<BusEffect> effects;
    const auto at = [&bytes](int i) { return static_cast<uint8_t>(bytes.at(i)); };
    int i = 0;
    while (i < bytes.size()) {
        if (at(i) != kFrameStart) {
            ++i;
            continue;
        }
        if (i + 1 >= bytes.size())
            break;
        // The command byte fixes the frame's length, because data bytes may
        // themselves be 0xFD (a volume of 253, for one).
        const uint8_t cmd = at(i + 1);
        const int length = cmd == kCmdTouch ? 8 : 4;
        if (i + length > bytes.size() || at(i + length - 1) != kFrameEnd) {
            ++i;
            continue;
        }
        BusEffect e;
        if (cmd == kCmdTouch && at(i + 2) == 0x00) {
            const int x = at(i + 3) << 8 | at(i + 4);
            const int y = at(i + 5) << 8 | at(i + 6);
            if (x == kTouchReleased && y == kTouchReleased) {
                state.touching = false;
                e.kind = BusEffect::TouchRelease;
            } else {
                state.touching = true;
                state.touch = QPoint(x, y);
                e.kind = BusEffect::Touch;
                e.point = state.touch;
            }
        } else if (cmd == kCmdVolume) {
            state.volume = at(i + 2);
            e.kind = BusEffect::Volume;
            e.level = state.volume;
        } else if (cmd == kCmdRfSql) {
            state.rfSql = at(i + 2);
            e.kind = BusEffect::RfSql;
            e.level = state.rfSql;
        } else if (cmd >= 0x0D && cmd <= 0x10) {
            const uint8_t mask = at(i + 2);
            if (mask == 0) {
                if ((state.heldKey >> 8) == cmd)
                    state.heldKey = 0;
                e.kind = BusEffect::KeyRelease;
                e.key = uint16_t(cmd << 8);
            } else {
                const uint16_t code = uint16_t(cmd << 8 | mask);
                if (!panelKeyLabel(code).isEmpty()) {
                    pressKey(state, code);
                    e.kind = BusEffect::KeyPress;
                    e.key = code;
                }
            }
        }
        if (e.kind != BusEffect::None)
            effects.append(e);
        i += length;
    }
    return effects;
}
