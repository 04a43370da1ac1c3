#include "EmuClock.h"

#include <chrono>
#include <thread>

int64_t SteadyEmuClock::nowNs() const
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SteadyEmuClock::pause(int64_t ns)
{
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}
