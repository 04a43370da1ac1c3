#include "UnitEnvironment.h"

#include <cstdlib>
#include <sstream>

namespace {

const char *env(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
}

bool toNumber(const std::string &text, int64_t &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0' || v < 0)
        return false;
    out = v;
    return true;
}

void problem(std::string *problems, const std::string &text)
{
    if (problems)
        *problems += (problems->empty() ? "" : "; ") + text;
}

} // namespace

bool parseFaults(const std::string &text, UsbFaults &faults, FlashFaults &flash, std::string *problems)
{
    bool ok = true;
    std::istringstream words(text);
    std::string word;
    while (std::getline(words, word, ',')) {
        if (word.empty())
            continue;
        const auto eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const bool hasValue = eq != std::string::npos;
        int64_t value = 0;
        if (hasValue && !toNumber(word.substr(eq + 1), value)) {
            problem(problems, "bad number in fault '" + word + "'");
            ok = false;
            continue;
        }
        struct Flag {
            const char *name;
            bool UsbFaults::*member;
        };
        static const Flag flags[] = {{"absent", &UsbFaults::absent},
                                     {"refuse-reset", &UsbFaults::refuseReset},
                                     {"refuse-purge", &UsbFaults::refusePurge},
                                     {"refuse-latency-read", &UsbFaults::refuseLatencyRead},
                                     {"refuse-latency", &UsbFaults::refuseLatency},
                                     {"refuse-bitmode", &UsbFaults::refuseBitmode},
                                     {"read-error", &UsbFaults::readError},
                                     {"stall", &UsbFaults::stall}};
        bool known = false;
        for (const Flag &f : flags) {
            if (name == f.name && !hasValue) {
                faults.*(f.member) = true;
                known = true;
            }
        }
        if (name == "stuck-busy" && !hasValue) {
            flash.stuckBusy = true;
            known = true;
        }
        if (!known && hasValue) {
            known = true;
            if (name == "short-write")
                faults.shortWrite = int(value);
            else if (name == "unplug-after")
                faults.unplugAfter = value;
            else if (name == "read-chunk")
                faults.readChunk = int(value);
            else if (name == "flip-read")
                flash.flipReadAt = value;
            else if (name == "zero-read-every")
                faults.zeroReadEvery = int(value);
            else
                known = false;
        }
        if (!known) {
            problem(problems, "unknown fault '" + word + "'");
            ok = false;
        }
    }
    return ok;
}

EmulatedUnit::Options unitOptionsFromEnvironment(std::string *problems)
{
    EmulatedUnit::Options o;
    o.virtualTime = false;
    o.readTurnaroundUs = 125; // tools count polls, not time: a poll costs a microframe, as on the bus
    if (const char *v = env("VQ6020_USBEMU_FLASH"))
        o.flashFile = v;
    if (const char *v = env("VQ6020_USBEMU_FAULTS"))
        parseFaults(v, o.faults, o.flashFaults, problems);
    if (const char *v = env("VQ6020_USBEMU_PRODUCT")) {
        int64_t id = 0;
        if (toNumber(v, id) && (id == 0x6010 || id == 0x6014))
            o.product = uint16_t(id);
        else
            problem(problems, std::string("VQ6020_USBEMU_PRODUCT must be 0x6010 or 0x6014, not ") + v);
    }
    int64_t number = 0;
    if (const char *v = env("VQ6020_USBEMU_IDCODE")) {
        if (toNumber(v, number) && number <= 0xFFFFFFFF)
            o.idCode = uint32_t(number);
        else
            problem(problems, std::string("bad VQ6020_USBEMU_IDCODE ") + v);
    }
    if (const char *v = env("VQ6020_USBEMU_JEDEC")) {
        if (toNumber(v, number) && number <= 0xFFFFFF)
            o.jedecId = uint32_t(number);
        else
            problem(problems, std::string("bad VQ6020_USBEMU_JEDEC ") + v);
    }
    if (const char *v = env("VQ6020_USBEMU_TURNAROUND_US")) {
        if (toNumber(v, number) && number <= 1'000'000)
            o.readTurnaroundUs = int(number);
        else
            problem(problems, std::string("bad VQ6020_USBEMU_TURNAROUND_US ") + v);
    }
    if (const char *v = env("VQ6020_USBEMU_TIME")) {
        const std::string t = v;
        if (t == "virtual" || t == "real")
            o.virtualTime = t == "virtual";
        else
            problem(problems, "VQ6020_USBEMU_TIME must be real or virtual, not " + t);
    }
    if (const char *v = env("VQ6020_USBEMU_BUSY_SCALE")) {
        char *end = nullptr;
        const double scale = std::strtod(v, &end);
        if (*end == '\0' && scale >= 0)
            o.timings.scale = scale;
        else
            problem(problems, std::string("bad VQ6020_USBEMU_BUSY_SCALE ") + v);
    }
    return o;
}
