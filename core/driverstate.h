#pragma once

#include <climits>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/stationframe.h"
#include "platform/datetime.h"

namespace drv {

// The values that the main thread and the Z8 link thread both use. Each access copies under one
// lock, so a string is never read while the other thread replaces it.
class SharedLinkValues {
public:
    std::string ComPort() const {
        std::lock_guard lock(m_mutex);
        return m_comPort;
    }
    void SetComPort(std::string value) {
        std::lock_guard lock(m_mutex);
        m_comPort = std::move(value);
    }
private:
    mutable std::mutex m_mutex;
    std::string m_comPort;
};

// The state the driver core keeps for the whole run. Owned by the driver object; main thread only, except
// `shared`, which the link thread uses too.
struct DriverState {
    DriverSettings settings;  // settings.ComPort is the value read at startup; the current one is shared.ComPort()
    std::string WorkingDirectory;
    TDateTime StartTime = 0.0;
    bool StationLinkUp = false;
    bool RemoteCloseRequested = false;
    std::string ClosePassword;
    std::optional<std::vector<std::uint8_t>> Z7ReceiveBuffer;  // exists from startup to FormDestroy
    StationEvent CurrentEvent{};
    // Spool forwarding's own (main thread): the .ob8 file it handed to the Z8 link last (never cleared; forwarding
    // waits while the spool index marks it in flight), and when, on the driver's monotonic clock (milliseconds).
    // kNoForward once the spacing has been ended: at start, by a new connection, by the acknowledgement of that
    // file.
    static constexpr std::int64_t kNoForward = INT64_MIN;
    std::string ForwardedSpoolPath;
    std::int64_t LastForwardTime = kNoForward;
    SharedLinkValues shared;
};

}  // namespace drv
