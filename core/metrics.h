#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"

// What the driver counts while it runs, for the metrics endpoint and the status command. Every member is an
// atomic touched with relaxed order: the counting threads (main and link thread) never wait for each other or for
// a reader, and a reader sees each value whole, though not all of them from the same instant.
namespace drv {

enum class Link { Station = 0, Z7 = 1, Z8 = 2 };
inline constexpr int kLinkCount = 3;
inline constexpr const char* kLinkNames[kLinkCount] = {"station", "z7", "z8"};

// Why a link is in its state, as standard error and the status say it.
enum class LinkReason {
    None = 0,
    Connected,
    FramesArrive,      // the station has sent frames within its watchdog interval
    Silent,            // ... or has not
    Refused,           // nothing listens at the server's address and port
    TimedOut,          // the server did not answer the connection attempt in time
    NameNotFound,      // the server's host name does not resolve
    Unreachable,       // no route to the server's address
    ClosedByServer,    // the server closed the connection
    ErrorsReconnect,   // too many failed exchanges in a row
    NoReply,           // a reply did not come in time, so the connection was given up
    ServerDisconnect,  // the server ordered a disconnect
    ServerDrop,        // the server ordered the connection dropped
    AccessDenied,      // the server denied access: no more attempts in this run
    Failed,            // any other failure; the errno says which
    Stopping,          // the driver stops
};

// Stands in for an errno where a host name was not found.
inline constexpr int kErrorNameNotFound = -1;

inline const char* LinkReasonText(LinkReason r) {
    switch (r) {
        case LinkReason::None:
            return "not yet known";
        case LinkReason::Connected:
            return "connected";
        case LinkReason::FramesArrive:
            return "not silent for the watchdog interval";
        case LinkReason::Silent:
            return "silent for the watchdog interval";
        case LinkReason::Refused:
            return "refused";
        case LinkReason::TimedOut:
            return "timed out";
        case LinkReason::NameNotFound:
            return "name not found";
        case LinkReason::Unreachable:
            return "unreachable";
        case LinkReason::ClosedByServer:
            return "closed by the server";
        case LinkReason::ErrorsReconnect:
            return "errors, reconnecting";
        case LinkReason::NoReply:
            return "no reply in time, reconnecting";
        case LinkReason::ServerDisconnect:
            return "the server ordered a disconnect";
        case LinkReason::ServerDrop:
            return "the server dropped the connection";
        case LinkReason::AccessDenied:
            return "access denied by the server, no more attempts";
        case LinkReason::Failed:
            return "failed";
        case LinkReason::Stopping:
            return "the driver stops";
    }
    return "failed";
}

// The reason a connection attempt or a connection failed with this errno (or kErrorNameNotFound).
inline LinkReason LinkReasonForError(int error) {
    switch (error) {
        case kErrorNameNotFound:
            return LinkReason::NameNotFound;
        case ECONNREFUSED:
            return LinkReason::Refused;
        case ETIMEDOUT:
            return LinkReason::TimedOut;
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
        case ENETDOWN:
            return LinkReason::Unreachable;
        case 0:
        case ECONNRESET:
        case EPIPE:
            return LinkReason::ClosedByServer;
        default:
            return LinkReason::Failed;
    }
}

class DriverMetrics {
public:
    using Counter = std::atomic<std::uint64_t>;

    // clock: the never-stepping count the ages are measured on (read on the main thread only).
    explicit DriverMetrics(drv::Clock clock = {}) : startSteadyMs(clock.MonotonicMs()), m_clock(std::move(clock)) {}

    struct LinkState {
        std::atomic<bool> up{false};
        std::atomic<int> reason{static_cast<int>(LinkReason::None)};
        std::atomic<int> error{0};  // errno of a Failed reason
        Counter changes{0};         // up to down and down to up
    };

    Counter frames{0};          // complete station frames decoded
    Counter eventsIgnored{0};   // events of objects in the ignore list
    Counter deliveredLive{0};   // live events the Z8 server answered
    Counter deliveredSpool{0};  // spooled events the Z8 server acknowledged
    Counter spooled{0};         // events written to .ob8 files
    Counter eventsToday{0};     // events routed since local midnight (or the start), reset by the main thread
    std::atomic<std::int64_t> lastFrameMs{-1};    // steady clock, milliseconds; -1: none yet
    Counter portOperatorStops{0};                 // stops of the station's port by the operator
    std::atomic<std::int64_t> portStoppedMs{-1};  // steady clock of the operator's last stop; -1: not stopped
    LinkState links[kLinkCount];
    const std::int64_t startSteadyMs;
    const double startUnixSeconds =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

    static void Count(Counter& c) { c.fetch_add(1, std::memory_order_relaxed); }
    static std::uint64_t Read(const Counter& c) { return c.load(std::memory_order_relaxed); }
    std::int64_t SteadyMs() const { return m_clock.MonotonicMs(); }
    void FrameDecoded() {
        Count(frames);
        lastFrameMs.store(SteadyMs(), std::memory_order_relaxed);
    }

    // A link's state as its owning thread (the only one that sets that link) sees it now. Says so on standard error
    // when the state or its reason changed, never while an attempt only repeats what the last one found. detail is
    // added to the line (the server's address, what happens next).
    void SetLink(Link link, bool up, LinkReason reason, const std::string& detail = {}, int error = 0) {
        LinkState& s = links[static_cast<int>(link)];
        const bool wasUp = s.up.load(std::memory_order_relaxed);
        const auto was = static_cast<LinkReason>(s.reason.load(std::memory_order_relaxed));
        if (wasUp == up && was == reason && s.error.load(std::memory_order_relaxed) == error) return;
        if (wasUp != up) Count(s.changes);
        s.up.store(up, std::memory_order_relaxed);
        s.reason.store(static_cast<int>(reason), std::memory_order_relaxed);
        s.error.store(error, std::memory_order_relaxed);
        const std::string why = reason == LinkReason::Failed && error > 0
                                    ? std::string("failed: ") + std::strerror(error)
                                    : std::string(LinkReasonText(reason));
        std::fprintf(stderr, "drvorvel: %s link %s: %s%s%s\n", kLinkNames[static_cast<int>(link)], up ? "up" : "down",
                     why.c_str(), detail.empty() ? "" : "; ", detail.c_str());
        std::fflush(stderr);
    }

private:
    const drv::Clock m_clock;
};

// Everything the endpoint and the status command tell, taken at one moment on the main thread.
struct DriverStatus {
    std::string version;
    double startTimeSeconds = 0;  // Unix time of the start
    double uptimeSeconds = 0;
    std::uint64_t frames = 0, eventsIgnored = 0, deliveredLive = 0, deliveredSpool = 0, spooled = 0, eventsToday = 0;
    std::size_t spoolOb8 = 0, spoolObz = 0, spoolBad = 0;
    double spoolOldestAgeSeconds = 0;  // of the oldest pending .ob8 or .obz file; 0 when none
    std::size_t memoryBacklog = 0;
    struct LinkView {
        bool enabled = true;  // the Z7 link without SendZ7 and the Z8 link without SendZ8 are not
        bool up = false;
        std::uint64_t changes = 0;
        std::string reason;
    } links[kLinkCount];
    bool portOpen = false;
    int portHolder = 0;  // while the port is closed: the process that holds its device (seen at the last attempt)
    std::string portState;  // drv::PortStateOf (core/health.h)
    std::uint64_t portOperatorStops = 0;
    bool frameHeard = false;         // a complete frame came since the start
    // Noise on the station's line: bytes of incomplete frames dropped, the resyncs that dropped them, and the
    // resync gap in effect.
    std::uint64_t stationBytesDropped = 0, stationResyncs = 0;
    std::uint32_t stationResyncGapMs = 0;
    double lastFrameAgeSeconds = 0;  // since the last complete frame, or since the start while none came
    // The configuration in effect.
    std::string workingDirectory, comPort, portDevice, z8Address, z7Host, spoolDirectory, metricsAddress;
    std::int32_t z8Port = 0, metricsPort = 0, firstNumber = 0;
    bool sendZ7 = false, sendZ8 = false, notSendToDiskZ8 = false, log = false;
    std::string attention;
};

}  // namespace drv
