#pragma once

#include <signal.h>

// The simulators' way to end on Ctrl-C or SIGTERM: the handler only raises a flag that the main loop watches
// (a blocking pause() or poll() returns with EINTR when the signal comes).
namespace drvsim {

inline volatile sig_atomic_t g_stop = 0;

inline void StopOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_stop = 1; };
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace drvsim
