#pragma once

#include "EmulatedUnit.h"
#include "maintenance/FtdiTransport.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The emulated unit's serial console, as the host sees it on channel B of the
// bridge: the unit writes text at 921600 baud 8N1 into the chip's receive buffer
// (what does not fit is lost and counted by the unit), and after every restart
// it prints a coloured boot banner from what its flash holds. Both ways a host
// reaches the bridge run this one console: the in-process transport
// (consoleFtdiFactory) and the libftdi stand-in (FtdiPreload).
class UnitConsole
{
public:
    static constexpr int kBaud = 921600;

    explicit UnitConsole(std::shared_ptr<EmulatedUnit> unit);

    // The unit writes text. A host that set other line settings receives what a
    // UART then sees: bytes with framing errors, not the text.
    void say(const std::string &text);
    // Prints the boot banner if the unit restarted since the last call.
    void pump();
    // The banner for a flash as it stands (image CRC, address set-up, key).
    static std::string banner(const std::vector<uint8_t> &flash);
    // CRC-32 of the image: the flash below the configuration record, up to its last programmed byte.
    static uint32_t imageCrc(const std::vector<uint8_t> &flash);

    EmulatedUnit &unit() { return *m_unit; }
    int bannersPrinted() const { return m_banners; }

private:
    std::shared_ptr<EmulatedUnit> m_unit;
    int m_seenRefreshes = 0;
    int m_banners = 0;
};

// Channels of the unit whose console runs: each read first lets the unit print.
FtdiTransportFactory consoleFtdiFactory(std::shared_ptr<UnitConsole> console);
