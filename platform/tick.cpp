#include "platform/tick.h"

#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace drv {

std::int64_t SystemMonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::uint32_t GetTickCount() { return static_cast<std::uint32_t>(SystemMonotonicMs()); }

void SleepMs(unsigned ms) {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec rem{};
    while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

}  // namespace drv
