// What the driver counts and tells about itself: the status the metrics endpoint and the status command show.
#include <chrono>
#include <cmath>

#include "core/health.h"
#include "core/spoolindex.h"
#include "driver/driver.h"
#include "platform/inifile.h"
#include "platform/version.h"
#include "serial/CPDrv.h"
#include "serial/portnames.h"
#include "z7link/SimpleTCP.h"

namespace {

int LocalDay(drv::TDateTime now) { return static_cast<int>(std::floor(now)); }

double SecondsSince(std::int64_t mtimeNs) {
    const auto now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return now > mtimeNs ? static_cast<double>(now - mtimeNs) / 1e9 : 0.0;
}

}  // namespace

namespace drv {

void Driver::CountEventToday() {
    const int day = LocalDay(NowTime());
    if (day != m_eventsDay) {
        m_eventsDay = day;
        m_metrics.eventsToday.store(0, std::memory_order_relaxed);
    }
    drv::DriverMetrics::Count(m_metrics.eventsToday);
}

drv::DriverStatus Driver::Status(bool withConfiguration) const {
    using M = drv::DriverMetrics;
    drv::DriverStatus s;
    const drv::DriverSettings& c = m_state.settings;
    s.version = drv::DriverVersionString();
    s.startTimeSeconds = m_metrics.startUnixSeconds;
    const std::int64_t nowMs = m_metrics.SteadyMs();
    s.uptimeSeconds = static_cast<double>(nowMs - m_metrics.startSteadyMs) / 1000.0;
    s.frames = M::Read(m_metrics.frames);
    s.eventsIgnored = M::Read(m_metrics.eventsIgnored);
    s.deliveredLive = M::Read(m_metrics.deliveredLive);
    s.deliveredSpool = M::Read(m_metrics.deliveredSpool);
    s.spooled = M::Read(m_metrics.spooled);
    s.eventsToday = LocalDay(NowTime()) == m_eventsDay ? M::Read(m_metrics.eventsToday) : 0;
    if (m_ob8Index) {
        s.spoolOb8 = m_ob8Index->Size();
        s.spoolObz = m_obzIndex->Size();
        s.spoolBad = m_badIndex->Size();
        std::optional<std::int64_t> oldest = m_ob8Index->OldestMtimeNs();
        if (const auto z = m_obzIndex->OldestMtimeNs(); z && (!oldest || *z < *oldest)) oldest = z;
        if (oldest) s.spoolOldestAgeSeconds = SecondsSince(*oldest);
    }
    s.memoryBacklog = m_spoolBacklog.Waiting();
    for (int i = 0; i < drv::kLinkCount; ++i) {
        const auto& l = m_metrics.links[i];
        auto& v = s.links[i];
        v.up = l.up.load(std::memory_order_relaxed);
        v.changes = M::Read(l.changes);
        v.reason = drv::LinkReasonText(static_cast<drv::LinkReason>(l.reason.load(std::memory_order_relaxed)));
    }
    // The watchdog's and the links' own flags are the truth of the moment; the counted states follow them.
    s.links[static_cast<int>(drv::Link::Station)].up = m_state.StationLinkUp;
    s.links[static_cast<int>(drv::Link::Z7)].up = Z7Connected;
    s.links[static_cast<int>(drv::Link::Z7)].enabled = c.SendZ7;
    s.links[static_cast<int>(drv::Link::Z8)].up = Z8LinkConnected();
    s.links[static_cast<int>(drv::Link::Z8)].enabled = c.SendZ8;
    s.portOpen = CommPortDriver1 != nullptr && CommPortDriver1->IsPortOpen();
    if (CommPortDriver1 != nullptr && !s.portOpen) s.portHolder = CommPortDriver1->Device().HolderPid();
    s.stationBytesDropped = m_decoder.Noise().bytesDropped;
    s.stationResyncs = m_decoder.Noise().resyncs;
    s.stationResyncGapMs = m_decoder.GapInEffect();
    const std::int64_t lastFrame = m_metrics.lastFrameMs.load(std::memory_order_relaxed);
    const bool portConfigured = m_state.shared.ComPort() != drv::kNoComPort;
    s.frameHeard = lastFrame >= 0;
    s.portState =
        drv::PortStateOf(portConfigured, s.portOpen, CommPortDriver1 != nullptr && CommPortDriver1->Reopening());
    s.portOperatorStops = M::Read(m_metrics.portOperatorStops);
    auto& station = s.links[static_cast<int>(drv::Link::Station)];
    const drv::StationHealth health =
        drv::StationHealthOf(station.up, station.reason, portConfigured, s.portOpen, s.frameHeard);
    station.up = health.up;
    station.reason = health.reason;
    s.lastFrameAgeSeconds =
        static_cast<double>(nowMs - (lastFrame >= 0 ? lastFrame : m_metrics.startSteadyMs)) / 1000.0;

    if (!withConfiguration) return s;
    const std::string iniPath = WorkingPath(drv::kConfigFileName);
    s.workingDirectory = m_state.WorkingDirectory;
    s.comPort = m_state.shared.ComPort();
    s.portDevice = s.comPort == drv::kNoComPort
                       ? std::string()
                       : drv::DevicePathForPort(std::string(drv::kPortNamePrefix) + s.comPort, iniPath);
    const drv::ServerHostSettings z8 = drv::LoadServerHostSettings(iniPath);
    s.z8Address = z8.Address;
    s.z8Port = z8.Port;
    s.z7Host = c.host;
    s.spoolDirectory = SpoolPrefix();
    const drv::MetricsSettings metrics = drv::LoadMetricsSettings(iniPath);
    s.metricsAddress = metrics.Address;
    s.metricsPort = metrics.Port;
    s.firstNumber = c.FirstNumber;
    s.sendZ7 = c.SendZ7;
    s.sendZ8 = c.SendZ8;
    s.notSendToDiskZ8 = c.NotSendToDiskZ8;
    s.log = c.Log;
    s.attention = c.AttentionText;
    return s;
}

}  // namespace drv
