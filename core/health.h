#pragma once

#include <string>

// What the status, the metrics and `drvorvel --status` say about the station and its port. The watchdog's own
// flag (and what it reports to the Z7 server) counts the first interval after the start as up; the health told to
// the operator needs an open port and a frame heard since the start as well.
namespace drv {

struct StationHealth {
    bool up = false;
    std::string reason;
};

// portConfigured: ComPort is not COM255. frameHeard: a complete frame came since the start.
inline StationHealth StationHealthOf(bool watchdogUp, const std::string& watchdogReason, bool portConfigured,
                                     bool portOpen, bool frameHeard) {
    if (!portConfigured && !portOpen) return {false, "no port"};
    if (!portOpen) return {false, "port closed"};
    if (!frameHeard) return {false, "not heard yet"};
    return {watchdogUp, watchdogReason};
}

// The state of the station's port: "open"; "reopening" (its device went away, or was not there at the start, and
// is looked for); "stopped" (closed by the operator, or a start that failed); "none" (no port configured).
inline const char* PortStateOf(bool portConfigured, bool portOpen, bool reopening) {
    if (portOpen) return "open";
    if (reopening) return "reopening";
    return portConfigured ? "stopped" : "none";
}
inline constexpr const char* kPortStates[] = {"open", "reopening", "stopped", "none"};

}  // namespace drv
