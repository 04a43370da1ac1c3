#pragma once

#include <cmath>

// Discovery waits (time-outs, probe and registration windows) can run faster than real time. The program
// always runs them at speed 1; a test raises the speed to shorten the waits while keeping their order.
// Rounded up, so that a wait never ends before its share of the real one.
inline int scaledInterval(int ms, double speed)
{
    return speed > 0 ? int(std::ceil(ms / speed)) : ms;
}
