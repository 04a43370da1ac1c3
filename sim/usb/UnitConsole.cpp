#include "UnitConsole.h"

#include "maintenance/ConfigRecord.h"
#include "maintenance/Crc32.h"

#include <QByteArray>

#include <algorithm>
#include <cstdio>

namespace {

const char kGreen[] = "\x1b[32m";
const char kYellow[] = "\x1b[1;33m";
const char kReset[] = "\x1b[0m";

} // namespace

UnitConsole::UnitConsole(std::shared_ptr<EmulatedUnit> unit)
    : m_unit(std::move(unit)), m_seenRefreshes(m_unit->fpga().refreshCount())
{
}

void UnitConsole::say(const std::string &text)
{
    std::vector<uint8_t> bytes(text.begin(), text.end());
    {
        std::lock_guard<std::mutex> lock(m_unit->mutex());
        const EmulatedUnit::Channel &c = m_unit->channel(1);
        const bool matched = c.baud == kBaud && c.dataBits == 8 && c.stopBits == 0 && c.parity == 0;
        if (!matched) {
            // Sampled at the wrong rate or framing, each character arrives as some other byte.
            for (uint8_t &b : bytes)
                b = uint8_t((b * 37u + 0x91u) ^ (c.baud & 0xFF));
        }
    }
    m_unit->consoleSend(bytes);
}

void UnitConsole::pump()
{
    int refreshes;
    std::vector<uint8_t> flash;
    {
        std::lock_guard<std::mutex> lock(m_unit->mutex());
        refreshes = m_unit->fpga().refreshCount();
        if (refreshes == m_seenRefreshes)
            return;
        m_seenRefreshes = refreshes;
        flash = m_unit->flash().contents();
    }
    ++m_banners;
    say(banner(flash));
}

uint32_t UnitConsole::imageCrc(const std::vector<uint8_t> &flash)
{
    return flashImageCrc(flash.data(), flash.size(), ConfigRecord::kFlashAddress);
}

std::string UnitConsole::banner(const std::vector<uint8_t> &flash)
{
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "%sVQ6020 boot%s image crc %s%08x%s\r\n", kGreen, kReset, kYellow,
                  unsigned(imageCrc(flash)), kReset);
    out += line;

    QByteArray sector;
    if (flash.size() > ConfigRecord::kFlashAddress)
        sector = QByteArray(reinterpret_cast<const char *>(flash.data()) + ConfigRecord::kFlashAddress,
                            int(flash.size() - ConfigRecord::kFlashAddress));
    UserConfiguration record;
    QString error;
    if (!ConfigRecord::decode(sector, &record, &error)) {
        std::snprintf(line, sizeof line, "%sconfig: none%s, network dhcp\r\nkey: none\r\n", kYellow, kReset);
        return out + line;
    }
    const ConfigRecord::Fields f = ConfigRecord::toFields(record, ConfigRecord::KeySource::Unit);
    if (f.dhcp) {
        out += "network: dhcp\r\n";
    } else {
        std::snprintf(line, sizeof line, "network: static %s%s%s mask %s gw %s dns %s\r\n", kGreen,
                      f.address.toLatin1().constData(), kReset, f.mask.toLatin1().constData(),
                      f.gateway.toLatin1().constData(), f.dns.toLatin1().constData());
        out += line;
    }
    const bool key = ConfigRecord::keyOf(record).size() == ConfigRecord::kKeyLength;
    std::snprintf(line, sizeof line, "key: %s%s%s\r\n", key ? kGreen : kYellow, key ? "present" : "none", kReset);
    return out + line;
}
