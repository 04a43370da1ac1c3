#pragma once

#include "script/MidiBackend.h"

#include <QList>
#include <QVector>

#include <algorithm>
#include <cstdint>

// A MIDI input library whose devices and messages a test writes: a list of devices, messages queued on the open
// input, an open that fails with a code, a read that fails with a code. It records what was opened and closed.
class ScriptedMidiSource : public MidiBackend
{
public:
    QList<DeviceInfo> devices;
    int openError = 0;    // returned by the next open (0: success)
    int readError = 0;    // returned by the next read once the queue is empty (0: none), then cleared
    int openedIndex = -1; // the device open now, or -1
    int opens = 0;
    int closes = 0;
    int reads = 0;

    void addDevice(const QString &name, bool input, bool output = false) { devices.append({name, input, output}); }
    static uint32_t message(int status, int data1, int data2)
    {
        return uint32_t(status & 0xFF) | uint32_t(data1 & 0xFF) << 8 | uint32_t(data2 & 0xFF) << 16;
    }
    void send(int status, int data1, int data2) { m_queue.append(message(status, data1, data2)); }
    void send(uint32_t m) { m_queue.append(m); }
    int pending() const { return m_queue.size(); }

    int count() override { return devices.size(); }
    DeviceInfo info(int index) override { return index >= 0 && index < devices.size() ? devices[index] : DeviceInfo{}; }
    int open(int index, int) override
    {
        ++opens;
        if (openError != 0)
            return openError;
        openedIndex = index;
        return 0;
    }
    int read(uint32_t *out, int max) override
    {
        ++reads;
        if (m_queue.isEmpty()) {
            const int err = readError;
            readError = 0;
            return err;
        }
        const int n = std::min(max, int(m_queue.size()));
        std::copy(m_queue.begin(), m_queue.begin() + n, out);
        m_queue.erase(m_queue.begin(), m_queue.begin() + n);
        return n;
    }
    void close() override
    {
        if (openedIndex >= 0)
            ++closes;
        openedIndex = -1;
    }

private:
    QVector<uint32_t> m_queue;
};
