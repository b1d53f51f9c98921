#pragma once

#include <cstdint>
#include <functional>

#include "platform/datetime.h"

namespace drv {

// Milliseconds on CLOCK_MONOTONIC, which never steps.
std::int64_t SystemMonotonicMs();

// The driver's time, handed to every part that needs one: the local wall-clock date-time for what is shown,
// written or sent, and a count of milliseconds that never steps for every interval and deadline. The parts that
// keep a 32-bit millisecond tick (the Z8 link, the serial component) take it from that count. A member left empty
// is the system's; tests hand in their own.
struct Clock {
    NowSource wall;
    std::function<std::int64_t()> monotonicMs;

    TDateTime Now() const { return wall ? wall() : drv::Now(); }
    std::int64_t MonotonicMs() const { return monotonicMs ? monotonicMs() : SystemMonotonicMs(); }
    std::uint32_t Tick() const { return static_cast<std::uint32_t>(MonotonicMs()); }
};

}  // namespace drv
