#pragma once

#include <QString>

#include <cstdint>
#include <memory>

// The MIDI input library as the MIDI bindings use it: list the devices, open one as an input, read its messages,
// close it. A message is status | data1 << 8 | data2 << 16.
class MidiBackend
{
public:
    struct DeviceInfo {
        QString name;
        bool input = false;
        bool output = false;
    };

    virtual ~MidiBackend() = default;
    virtual int count() = 0;
    virtual DeviceInfo info(int index) = 0;
    // Opens device index as the one input, with room for bufferSize events; 0 or the library's error code.
    virtual int open(int index, int bufferSize) = 0;
    // Up to max messages into out: how many, 0 when there are none, or a negative error code.
    virtual int read(uint32_t *out, int max) = 0;
    virtual void close() = 0;
};

// PortMidi, the default.
std::unique_ptr<MidiBackend> createPortMidiBackend();
