// Station frames: raw capture, decoding, the ignore list and routing of events.
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "core/driverfiles.h"
#include "core/spool.h"
#include "driver/driver.h"
#include "serial/CPDrv.h"

namespace drv {

void Driver::CommPortDriver1ReceivePacket(QObject* /*Sender*/, const std::uint8_t* Packet, std::uint32_t DataSize) {
    if (Packet == nullptr) DataSize = 0;
    if (m_state.settings.Log) {
        // A capture that cannot be written must not cost the events of this delivery: report it and decode on.
        try {
            drv::AppendRawCapture(WorkingPath(drv::kRawCaptureFileName), Packet, DataSize);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "drvorvel: %s\n", e.what());
        }
    }
    if (DataSize == 0) return;
    // Outside the component's event (a direct call) the silence is unknown: the delivery stands alone.
    static std::vector<drv::LineChunk> chunks;  // main thread only; reused
    chunks.clear();
    for (const TChunkMark& c : CommPortDriver1->PacketChunks()) chunks.push_back({c.offset, c.silenceMs});
    const drv::DeliveryLine line{CommPortDriver1->PacketSilenceBefore(), chunks};
    m_decoder.Feed(Packet, DataSize, line,
                   [this](const std::uint8_t* frame, int length) { HandleFrame(frame, length); });
    if (const std::string notice = m_decoder.DropNotice(MonotonicMs()); !notice.empty())
        std::fprintf(stderr, "drvorvel: %s\n", notice.c_str());
}

void Driver::HandleFrame(const std::uint8_t* frame, int length) {
    m_stationHeardMs = MonotonicMs();  // the station is alive when it sends, ignored objects included
    m_metrics.FrameDecoded();
    drv::FillStationEvent(m_state.CurrentEvent, frame, length, m_state.settings.FirstNumber);
    const std::int32_t object = drv::EventObjectNumber(m_state.CurrentEvent);
    if (m_ignoreList.IsIgnored(WorkingPath(drv::kIgnoreFileName), object))
        return drv::DriverMetrics::Count(m_metrics.eventsIgnored);
    CountEventToday();
    if (m_state.settings.SendZ8) RouteEvent();
}

void Driver::RouteEvent() {
    const std::vector<std::uint8_t> event(m_state.CurrentEvent.begin(), m_state.CurrentEvent.end());
    // A packet the link's ring refuses is spooled like an event that came while the link was down.
    if (Z8Link && Z8LinkConnected() && QueueZ8Packet(drv::kStationEventCode, event, drv::z8::PacketOrigin::LiveEvent))
        return;
    if (m_state.settings.NotSendToDiskZ8) return;
    SpoolZ8Packet(drv::kStationEventCode, event);
}

bool Driver::SpoolZ8Packet(std::uint32_t code, const std::vector<std::uint8_t>& payload) {
    const bool wasWaiting = m_spoolBacklog.Waiting() > 0;
    const auto outcome = m_spoolBacklog.Store({code, payload}, SpoolWriter());
    if (m_spoolBacklog.Waiting() > 0 && m_spoolRetryTimer != nullptr && !m_spoolRetryTimer->isActive())
        m_spoolRetryTimer->start();
    if (outcome != drv::SpoolBacklog::Outcome::Written && !wasWaiting) {
        std::fprintf(stderr, "drvorvel: an event could not be spooled under \"%s\" (%s); it waits in memory\n",
                     SpoolPrefix().c_str(), std::strerror(m_spoolBacklog.LastError()));
    }
    return outcome != drv::SpoolBacklog::Outcome::Refused;
}

}  // namespace drv
