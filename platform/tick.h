#pragma once

#include <cstdint>

namespace drv {

// Milliseconds since boot as an unsigned 32-bit value that wraps around; intervals are unsigned differences.
// The system's drv::Clock{}.Tick().
std::uint32_t GetTickCount();

// Milliseconds elapsed from `since` to `now`, modulo 2^32.
inline std::uint32_t TicksSince(std::uint32_t now, std::uint32_t since) { return now - since; }

// Sleeps the calling thread for about `ms` milliseconds (EINTR resumed).
void SleepMs(unsigned ms);

}  // namespace drv
