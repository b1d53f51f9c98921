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

// The values that the main thread and the Z8 link thread both read and write. Each access copies under one
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
    std::string ForwardedSpoolPath() const {
        std::lock_guard lock(m_mutex);
        return m_forwardedSpoolPath;
    }
    void SetForwardedSpoolPath(std::string value) {
        std::lock_guard lock(m_mutex);
        m_forwardedSpoolPath = std::move(value);
    }
    // When forwarding last handed a spool file to the link, on the driver's monotonic clock (milliseconds);
    // kNoForward once the spacing has been ended (at start, by a new connection, by an acknowledgement).
    static constexpr std::int64_t kNoForward = INT64_MIN;
    std::int64_t LastForwardTime() const {
        std::lock_guard lock(m_mutex);
        return m_lastForwardTime;
    }
    void SetLastForwardTime(std::int64_t value) {
        std::lock_guard lock(m_mutex);
        m_lastForwardTime = value;
    }
    void EndForwardSpacing() { SetLastForwardTime(kNoForward); }

private:
    mutable std::mutex m_mutex;
    std::string m_comPort;
    std::string m_forwardedSpoolPath;
    std::int64_t m_lastForwardTime = kNoForward;
};

// The state the driver core keeps for the whole run. Owned by the main window; main thread only, except
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
    SharedLinkValues shared;
};

}  // namespace drv
