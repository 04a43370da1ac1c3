#pragma once

#include <cstdint>
#include <memory>

class Clock;
class FtdiTransport;

// Channel A of the unit's FTDI bridge in MPSSE mode: set-up, byte transfers and
// the error state. One per process (there is only one maintenance link).
//
// A transport failure sets errorCode; from then on exchange() does nothing, so a
// job can run its remaining calls without touching a broken bridge and look at
// errorCode when it decides its verdict. The error stays set until the next
// successful open.
class MpsseLink
{
public:
    static MpsseLink &instance();

    // 0 on success, -1 on failure (the reason went to the print sink).
    int open(int interfaceIndex, const char *deviceString, int clockSetting);
    void close();
    void sendByte(uint8_t value);
    // Writes sendLength bytes from buffer, then reads exactly receiveLength
    // bytes into its start.
    void exchange(uint8_t *buffer, uint16_t sendLength, uint16_t receiveLength);
    int errorCode() const { return m_errorCode; }

    // A read that brings no byte for this long is a transport failure: a bridge
    // that stopped answering must not hold the GUI thread forever.
    static constexpr int kReadStallMs = 1000;
    void setClock(const Clock *clock);

    enum { TransportFailure = 2 };

private:
    MpsseLink();
    void fail(int code);

    std::unique_ptr<FtdiTransport> m_ftdi;
    bool m_opened = false;
    bool m_latencySaved = false;
    uint8_t m_savedLatency = 0;
    int m_errorCode = 0;
    const Clock *m_clock;
};
