#include "EmulatedUnit.h"

namespace {
constexpr size_t MaxCalls = 1'000'000;
} // namespace

EmulatedUnit::EmulatedUnit(Options options) : m_options(std::move(options))
{
    if (m_options.clock)
        m_clock = m_options.clock;
    else if (m_options.virtualTime)
        m_clock = std::make_shared<VirtualEmuClock>();
    else
        m_clock = std::make_shared<SteadyEmuClock>();
    m_flash = std::make_unique<SpiNorFlash>(*m_clock, m_options.flashFile, m_options.timings, m_options.jedecId);
    m_flash->faults() = m_options.flashFaults;
    m_fpga = std::make_unique<Ecp5Tap>(*m_flash, m_options.idCode);
    m_channels[0].mpsse = std::make_unique<MpsseEngine>(m_fpga.get(), *m_clock, m_options.product);
    m_channels[1].mpsse = std::make_unique<MpsseEngine>(nullptr, *m_clock, m_options.product);
}

EmulatedUnit::~EmulatedUnit() = default;

void EmulatedUnit::pauseMs(int ms)
{
    m_clock->pause(int64_t(ms) * 1'000'000);
}

std::function<void()> EmulatedUnit::oneMsPause()
{
    return [this]() { pauseMs(1); };
}

void EmulatedUnit::consoleSend(const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto &rx = m_channels[1].uartReceive;
    for (uint8_t b : bytes) {
        if (rx.size() < UartBufferSize)
            rx.push_back(b);
        else
            ++m_consoleLost;
    }
}

std::vector<uint8_t> EmulatedUnit::consoleReceived()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> out;
    out.swap(m_channels[1].uartSent);
    return out;
}

std::vector<std::string> EmulatedUnit::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<uint8_t> EmulatedUnit::written(int channel) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_channels[channel].written;
}

void EmulatedUnit::clearTrace()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
    for (auto &c : m_channels)
        c.written.clear();
}

// A host that waits for bytes that never come reads nothing thousands of times a second;
// such a run of empty reads is one line with its count ("A read 8 = 0 (x1000)").
void EmulatedUnit::note(const std::string &call)
{
    if (!m_recording)
        return;
    const bool empty =
        call.size() > 4 && call.compare(call.size() - 4, 4, " = 0") == 0 && call.compare(2, 5, "read ") == 0;
    if (empty && !m_calls.empty() && m_calls.back().compare(0, call.size(), call) == 0 &&
        (m_calls.back().size() == call.size() || m_calls.back()[call.size()] == ' ')) {
        ++m_repeats;
        m_calls.back() = call + " (x" + std::to_string(m_repeats) + ")";
        return;
    }
    m_repeats = 1;
    if (m_calls.size() < MaxCalls)
        m_calls.push_back(call);
}
