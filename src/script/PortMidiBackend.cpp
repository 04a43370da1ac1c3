// The only file that sees PortMidi.
#include "script/MidiBackend.h"

#include <portmidi.h>

#include <algorithm>

namespace {

class PortMidiBackend : public MidiBackend
{
public:
    PortMidiBackend() { Pm_Initialize(); }
    ~PortMidiBackend() override
    {
        close();
        Pm_Terminate();
    }

    int count() override { return Pm_CountDevices(); }

    DeviceInfo info(int index) override
    {
        DeviceInfo out;
        if (const PmDeviceInfo *i = Pm_GetDeviceInfo(index)) {
            out.name = QString::fromLocal8Bit(i->name);
            out.input = i->input != 0;
            out.output = i->output != 0;
        }
        return out;
    }

    int open(int index, int bufferSize) override
    {
        close();
        const PmError err = Pm_OpenInput(&m_stream, index, nullptr, bufferSize, nullptr, nullptr);
        if (err != pmNoError)
            m_stream = nullptr;
        return int(err);
    }

    int read(uint32_t *out, int max) override
    {
        if (!m_stream)
            return int(pmBadPtr);
        PmEvent events[64];
        const int n = Pm_Read(m_stream, events, std::min(max, 64));
        for (int i = 0; i < n; ++i)
            out[i] = uint32_t(events[i].message);
        return n;
    }

    void close() override
    {
        if (m_stream)
            Pm_Close(m_stream);
        m_stream = nullptr;
    }

private:
    PortMidiStream *m_stream = nullptr;
};

} // namespace

std::unique_ptr<MidiBackend> createPortMidiBackend()
{
    return std::make_unique<PortMidiBackend>();
}
