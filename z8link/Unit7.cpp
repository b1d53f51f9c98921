#include "z8link/Unit7.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>

#include "platform/version.h"

namespace {

constexpr const char* kTextConnecting = "Соединение...";
constexpr const char* kTextConnected = "Соединение установлено.";
constexpr const char* kTextErrorsReconnect = "Ошибки по сети - переподсоединение.";
constexpr const char* kTextServerDisconnect = "Сервер дал команду на рассоединение.";
constexpr const char* kTextAccessDenied = "Доступ запрещен.";


using drv::z8::PacketOrigin;
using drv::z8::QueuedPacket;

}  // namespace

int drv::Z8LinkHost::DeleteSpoolFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

cl::cl(std::shared_ptr<drv::Z8LinkHost> host, drv::Z8LinkConfig config)
    : m_host(std::move(host)),
      m_config(std::move(config)),
      m_assembler(m_config.timings.maxBodySize, m_config.timings.chunkSize) {}

cl::~cl() { Stop(); }

void cl::Start() {
    std::lock_guard lock(m_lifeMutex);
    if (m_thread.joinable() || m_stop.load()) return;
    m_thread = std::thread([this] { Run(); });
}

void cl::Stop() {
    std::lock_guard lock(m_lifeMutex);
    m_stop.store(true);
    m_stopSignal.Signal();
    if (m_thread.joinable()) m_thread.join();
}

std::uint32_t cl::Tick() const { return m_config.clock.Tick(); }

bool cl::QueuePacket(std::uint32_t code, const std::vector<std::uint8_t>& payload, PacketOrigin origin,
                     std::string spoolPath) {
    std::lock_guard lock(m_ringMutex);
    const std::uint64_t sequence = m_sequence++;
    if (origin == PacketOrigin::LiveEvent && (m_refused.load() || m_stop.load())) return false;
    if (m_ring.Full()) return false;
    try {
        if (!m_ring.Put(QueuedPacket{drv::z8::BuildPacket(code, sequence, payload), origin, std::move(spoolPath),
                                     sequence, Tick(), false}))
            return false;
    } catch (const std::exception&) {
        return false;
    }
    m_wake.Signal();
    return true;
}

std::vector<QueuedPacket> cl::TakeQueuedLiveEvents() {
    std::vector<QueuedPacket> events;
    std::lock_guard lock(m_ringMutex);
    while (auto head = m_ring.Peek()) {
        m_ring.Remove();
        if (head->origin != PacketOrigin::LiveEvent) continue;
        if (head->durableAsked) {
            m_resolvedWhileWritten.emplace_back(head->sequence, false);  // its writer keeps it
        } else {
            events.push_back(std::move(*head));
        }
    }
    return events;
}

QueuedPacket* cl::FindPendingLocked(std::uint64_t sequence) {
    if (m_inFlight && m_inFlight->sequence == sequence) return &*m_inFlight;
    return m_ring.Find([&](const QueuedPacket& p) { return p.sequence == sequence; });
}

std::vector<QueuedPacket> cl::TakeEventsToMakeDurable(std::uint32_t ageMs) {
    std::vector<QueuedPacket> events;
    const std::uint32_t now = Tick();
    std::lock_guard lock(m_ringMutex);
    const auto take = [&](QueuedPacket& p, bool overdue) {
        if (p.origin != PacketOrigin::LiveEvent || p.durableAsked) return;
        if (!overdue && drv::TicksSince(now, p.queuedTick) < ageMs) return;
        p.durableAsked = true;
        events.push_back(p);
    };
    if (m_inFlight) take(*m_inFlight, m_inFlightOverdue);
    m_ring.ForEach([&](QueuedPacket& p) { take(p, false); });
    return events;
}

cl::DurableOutcome cl::EventMadeDurable(std::uint64_t sequence, const std::string& path) {
    std::lock_guard lock(m_ringMutex);
    if (QueuedPacket* p = FindPendingLocked(sequence); p != nullptr && p->origin == PacketOrigin::LiveEvent) {
        p->origin = PacketOrigin::SpoolFile;
        p->spoolPath = path;
        p->durableAsked = false;
        return DurableOutcome::Converted;
    }
    const auto it = std::find_if(m_resolvedWhileWritten.begin(), m_resolvedWhileWritten.end(),
                                 [&](const auto& r) { return r.first == sequence; });
    if (it == m_resolvedWhileWritten.end()) return DurableOutcome::Undelivered;
    const bool delivered = it->second;
    m_resolvedWhileWritten.erase(it);
    return delivered ? DurableOutcome::Delivered : DurableOutcome::Undelivered;
}

bool cl::EventNotMadeDurable(std::uint64_t sequence) {
    std::lock_guard lock(m_ringMutex);
    if (QueuedPacket* p = FindPendingLocked(sequence); p != nullptr && p->origin == PacketOrigin::LiveEvent) {
        p->durableAsked = false;
        p->queuedTick = Tick();
        return false;
    }
    const auto it = std::find_if(m_resolvedWhileWritten.begin(), m_resolvedWhileWritten.end(),
                                 [&](const auto& r) { return r.first == sequence; });
    if (it == m_resolvedWhileWritten.end()) return false;
    const bool delivered = it->second;
    m_resolvedWhileWritten.erase(it);
    return !delivered;
}

std::size_t cl::PendingLiveEvents() const {
    std::lock_guard lock(m_ringMutex);
    std::size_t n = m_inFlight && m_inFlight->origin == PacketOrigin::LiveEvent ? 1 : 0;
    m_ring.ForEach([&](const QueuedPacket& p) { n += p.origin == PacketOrigin::LiveEvent ? 1 : 0; });
    return n;
}

std::uint64_t cl::NextSequenceNumber() const {
    std::lock_guard lock(m_ringMutex);
    return m_sequence;
}

std::size_t cl::QueuedCount() const {
    std::lock_guard lock(m_ringMutex);
    return m_ring.Count();
}

void cl::Log(const char* text) { m_host->LogLine(text); }

void cl::NoteLink(bool up, drv::LinkReason reason, int error) {
    if (m_config.metrics == nullptr) return;
    if (!up && m_stop.load()) {
        reason = drv::LinkReason::Stopping;  // an attempt or a connection that the stop cut short
        error = 0;
    }
    std::string detail = "Z8 server " + m_server;
    if (!up && reason != drv::LinkReason::AccessDenied && reason != drv::LinkReason::Stopping)
        detail += "; trying every " + std::to_string(m_config.timings.attemptIntervalMs) + " ms";
    m_config.metrics->SetLink(drv::Link::Z8, up, reason, detail, error);
}

drv::LinkReason cl::LossReason(int* error) const {
    *error = 0;
    if (m_stop.load()) return drv::LinkReason::Stopping;
    if (!m_client) return drv::LinkReason::Failed;
    if (m_client->LastError() != 0) {
        *error = m_client->LastError();
        return drv::LinkReasonForError(*error);
    }
    return m_client->PeerClosed() ? drv::LinkReason::ClosedByServer : drv::LinkReason::NoReply;
}

void cl::Run() {
    m_accessDeniedShown = false;
    m_lastPollTick = Tick();
    m_errors = 0;
    m_lastAttemptTick = 0;
    m_polling = false;
    m_connectionAllowed = true;
    m_connected.store(false);
    while (!m_stop.load()) {
        try {
            Step();
        } catch (const std::exception&) {
            // A failure inside the driver ends the step, never the thread.
        }
        // Sleeps until something is to be done: a packet queued, the peer of an idle connection gone, the stop,
        // or the next deadline of the link (connection attempt, poll). A step with work left is followed at once.
        const int waitMs = MsUntilNextStep();
        if (waitMs == 0 || m_stop.load()) continue;
        if (drv::z8::WaitForWork(m_stopSignal, m_wake, IdleConnectionFd(), waitMs) == drv::z8::WorkWake::PeerGone &&
            LinkConnected()) {
            // The server closed an idle connection: nothing more can be exchanged on it.
            try {
                if (m_client) m_client->NotePeerClosed();
                CloseConnection();
            } catch (const std::exception&) {
            }
        }
    }
    if (m_client && m_client->IsOpen()) CloseConnection();
    m_client.reset();
    // A frame still awaited (a failed exchange waits between steps) is given up: its live event is kept.
    AbandonExchange("the link stopped");
}

int cl::MsUntilNextStep() {
    // Whole ticks until `interval` has been exceeded since `since`, the steps' own test of an interval.
    const auto until = [this](std::uint32_t since, std::uint32_t interval) {
        const std::uint32_t spent = drv::TicksSince(Tick(), since);
        return spent > interval ? 0 : static_cast<int>(std::min<std::uint32_t>(interval - spent + 1, 0x7FFFFFFF));
    };
    if (!LinkConnected()) {
        if (!m_connectionAllowed) return m_accessDeniedShown ? -1 : 0;
        return until(m_lastAttemptTick, m_config.timings.attemptIntervalMs);
    }
    if (m_errors > kErrorThreshold || m_exchange.active || m_expectReply) return 0;
    {
        std::lock_guard lock(m_ringMutex);
        if (!m_ring.Empty()) return 0;
    }
    return m_polling ? until(m_lastPollTick, m_config.timings.pollIntervalMs) : -1;
}

int cl::IdleConnectionFd() const {
    return LinkConnected() && !m_exchange.active && m_client && m_client->IsOpen() ? m_client->fd() : -1;
}

void cl::Step() {
    if (LinkConnected()) {
        StepConnected();
    } else {
        StepDisconnected();
    }
}

void cl::StepDisconnected() {
    if (!m_connectionAllowed) {
        if (!m_accessDeniedShown) {
            m_accessDeniedShown = true;
            Log(kTextAccessDenied);
        }
        return;
    }
    if (drv::TicksSince(Tick(), m_lastAttemptTick) <= m_config.timings.attemptIntervalMs) return;

    m_host->IndicatorStep();
    Log(kTextConnecting);
    m_lastAttemptTick = Tick();
    m_client.reset();
    AbandonExchange("the connection was given up");
    const auto& t = m_config.timings;
    m_client = std::make_unique<drv::z8::BlockingTcpClient>(t.connectTimeoutMs, t.readTimeoutMs, t.writeTimeoutMs,
                                                            m_stopSignal, m_config.resolver);
    m_polling = false;
    const auto [address, port] = m_config.server ? m_config.server() : drv::Z8ServerAddress{};
    m_server = address + ":" + std::to_string(port);
    if (!m_client->Connect(address, port))
        return NoteLink(false, drv::LinkReasonForError(m_client->LastError()), m_client->LastError());
    if (!Handshake()) {
        m_client->Close();
        return;
    }
    m_connected.store(true, std::memory_order_release);
    m_host->Connected();
    Log(kTextConnected);
    NoteLink(true, drv::LinkReason::Connected);
    m_host->IndicatorStep();
}

bool cl::Handshake() {
    const auto values = m_host->ReadHandshakeValues();
    if (!values) return false;
    const std::string version = m_config.version.empty() ? drv::DriverVersionString() : m_config.version;
    QueuePacket(drv::z8::kHello, drv::z8::HelloPayload());
    m_expectReply = true;
    QueuePacket(drv::z8::kPortStatus, drv::z8::PortStatusPayload(values->comPort, values->portOpen));
    QueuePacket(drv::z8::kFirstNumber, drv::z8::FirstNumberPayload(values->firstNumber));
    QueuePacket(drv::z8::kVersion, drv::z8::VersionPayload(version));
    return true;
}

void cl::StepConnected() {
    if (m_errors > kErrorThreshold) {
        m_errors = 0;
        Log(kTextErrorsReconnect);
        NoteLink(false, drv::LinkReason::ErrorsReconnect);
        // The step goes on on the connection that is still open; the next attempt gives up what it still owes.
        m_connected.store(false, std::memory_order_release);
    }
    if (m_exchange.active) {
        // Out of step: the server may still answer the frame that failed; nothing else goes out before that.
        ContinueExchange();
        return;
    }

    bool triedToSend = false;
    std::optional<QueuedPacket> head;
    {
        std::lock_guard lock(m_ringMutex);
        head = m_ring.Peek();
    }
    bool sendFailed = false;
    if (head) {
        triedToSend = true;
        bool internalFailure = false;
        const bool sent = SendFrame(head->packet, &internalFailure);
        if (!internalFailure) {
            // Only the link thread removes, so the head is still the packet just sent (its copy in the ring may
            // have been marked or converted meanwhile: that one is taken).
            std::lock_guard lock(m_ringMutex);
            m_inFlight = m_ring.Peek();
            m_ring.Remove();
        }
        sendFailed = !sent;
    } else if (m_polling) {
        const std::uint32_t now = Tick();
        if (drv::TicksSince(now, m_lastPollTick) > m_config.timings.pollIntervalMs) {
            m_lastPollTick = now;
            triedToSend = true;
            sendFailed = !SendFrame(drv::z8::BuildPollPacket());
        }
    }
    if (sendFailed) ++m_errors;

    if (triedToSend || m_expectReply) {
        m_expectReply = false;
        m_exchange = Exchange{};
        m_assembler.Reset();
        m_exchange.active = true;
        m_exchange.sentTick = Tick();
        ContinueExchange();
    }
}

void cl::ContinueExchange() {
    Exchange& x = m_exchange;
    const auto countFailure = [&] {
        if (x.failed) return;
        x.failed = true;
        ++m_errors;
        std::lock_guard lock(m_ringMutex);
        m_inFlightOverdue = true;
    };
    const ReplyRead read = ReadReply();
    switch (read) {
        case ReplyRead::Whole:
            // Late or not, the reply takes its effect for the frame it answers.
            x.active = false;
            ResolveInFlight(HandleReply());
            break;
        case ReplyRead::Rejected:
            countFailure();
            x.active = false;
            ResolveInFlight({false, drv::Z8LinkHost::SpoolOutcome::Declined, "a reply without a usable body"});
            break;
        case ReplyRead::OutOfStep:
            countFailure();
            break;
        case ReplyRead::Expired:
        case ReplyRead::Closed: {
            countFailure();
            x.active = false;
            ResolveInFlight(NoAnswer(read == ReplyRead::Expired ? "no reply in time" : "the connection was lost"));
            CloseConnection();
            break;
        }
    }
    if (!x.active) {
        x = Exchange{};
        m_assembler.Reset();
    }
}

void cl::AbandonExchange(const char* why) {
    ResolveInFlight(NoAnswer(why));
    m_exchange = Exchange{};
    m_assembler.Reset();
}

void cl::ResolveInFlight(const ReplyEffect& effect) {
    std::optional<QueuedPacket> packet;
    {
        std::lock_guard lock(m_ringMutex);
        packet = std::move(m_inFlight);
        m_inFlight.reset();
        m_inFlightOverdue = false;
        if (packet && effect.delivered && packet->origin == PacketOrigin::LiveEvent && m_config.metrics)
            drv::DriverMetrics::Count(m_config.metrics->deliveredLive);
        if (packet && packet->origin == PacketOrigin::LiveEvent && packet->durableAsked) {
            m_resolvedWhileWritten.emplace_back(packet->sequence, effect.delivered);
            return;
        }
    }
    if (!packet) return;
    if (packet->origin == PacketOrigin::SpoolFile) {
        if (effect.outcome == drv::Z8LinkHost::SpoolOutcome::Acknowledged) {
            AcknowledgeSpoolFile(packet->spoolPath);
        } else if (!packet->spoolPath.empty()) {
            m_host->SpoolFileResolved({packet->spoolPath, effect.outcome, false, effect.answer});
        }
    }
    if (!effect.delivered) HandBack(*packet);
}

bool cl::SendFrame(const std::vector<std::uint8_t>& packet, bool* internalFailure) {
    std::vector<std::uint8_t> frame;
    try {
        frame = drv::z8::BuildFrame(packet);
    } catch (const std::exception&) {
        if (internalFailure != nullptr) *internalFailure = true;
        return false;
    }
    if (m_client && m_client->Write(frame.data(), frame.size())) return true;
    CloseConnection();
    return false;
}

cl::ReplyRead cl::ReadReply() {
    using Status = drv::z8::ReplyAssembler::Status;
    if (!m_client || !m_client->IsOpen()) return ReplyRead::Closed;
    const auto timeLeft = [&]() -> int {
        const std::uint32_t spent = drv::TicksSince(Tick(), m_exchange.sentTick);
        const std::uint32_t limit = m_config.timings.replyDeadlineMs;
        return spent >= limit ? 0 : static_cast<int>(limit - spent);
    };
    const auto countExtraError = [&] {
        if (!m_exchange.failed) ++m_errors;
    };
    for (;;) {
        const int left = timeLeft();
        if (left == 0) return ReplyRead::Expired;
        const auto [at, want] = m_assembler.Space();
        const auto r = m_client->Read(at, want, left);
        switch (m_assembler.Took(r.count)) {
            case Status::Whole:
                return ReplyRead::Whole;
            case Status::ForeignMarker:
                // Nothing is skipped: what follows is read as the next prefix, at the next step.
                return timeLeft() == 0 ? ReplyRead::Expired : ReplyRead::OutOfStep;
            case Status::EmptyLength:
                return ReplyRead::Rejected;
            case Status::NegativeLength:
                countExtraError();
                return ReplyRead::Rejected;
            case Status::Oversized:
                // Its body would follow and can be neither taken nor waited for.
                countExtraError();
                return ReplyRead::Closed;
            case Status::NeedMore:
                break;
        }
        if (r.status == drv::z8::ReadStatus::Complete) continue;
        if (r.status == drv::z8::ReadStatus::Closed || r.status == drv::z8::ReadStatus::Stopped)
            return ReplyRead::Closed;
        // Quiet for the read time-out. Within a body the rest is asked for again, up to the deadline.
        if (timeLeft() == 0) return ReplyRead::Expired;
        if (!m_assembler.InBody()) return ReplyRead::OutOfStep;
    }
}

cl::ReplyEffect cl::HandleReply() {
    const auto& body = m_assembler.Body();
    using Outcome = drv::Z8LinkHost::SpoolOutcome;
    if (!drv::z8::IsAcceptedReply(body.data(), body.size()))
        return {false, Outcome::Declined, "a reply that is not accepted"};
    char answer[32];
    std::snprintf(answer, sizeof answer, "reply code 0x%08X", static_cast<unsigned>(drv::z8::ReplyCode(body.data())));
    ReplyEffect effect{true, Outcome::Declined, answer};
    m_errors = 0;
    m_host->IndicatorStep();
    switch (drv::z8::ReplyCode(body.data())) {
        case drv::z8::kStartPolling:
            m_polling = true;
            break;
        case drv::z8::kEventAcknowledged:
            effect.outcome = Outcome::Acknowledged;
            break;
        case drv::z8::kRequest:
            QueuePacket(drv::z8::kAnswer, {});
            break;
        case drv::z8::kAccessDenied:
            NoteLink(false, drv::LinkReason::AccessDenied);
            m_connected.store(false, std::memory_order_release);
            m_connectionAllowed = false;
            m_refused.store(true);
            m_host->IndicatorStep();
            CloseConnection();
            ReleaseQueuedPackets("access denied");
            return NoAnswer("access denied");
        case drv::z8::kDropConnection:
            NoteLink(false, drv::LinkReason::ServerDrop);
            m_connected.store(false, std::memory_order_release);
            m_host->IndicatorStep();
            CloseConnection();
            break;
        case drv::z8::kDisconnect:
            m_errors = 0;
            m_lastAttemptTick = Tick();
            m_connected.store(false, std::memory_order_release);
            m_host->IndicatorStep();
            Log(kTextServerDisconnect);
            NoteLink(false, drv::LinkReason::ServerDisconnect);
            break;
        default:
            break;
    }
    return effect;
}

void cl::AcknowledgeSpoolFile(const std::string& path) {
    if (path.empty()) return;
    if (m_config.metrics != nullptr) drv::DriverMetrics::Count(m_config.metrics->deliveredSpool);
    const bool existed = ::access(path.c_str(), F_OK) == 0;
    // A failed deletion is the host's to retry: the file is delivered and must not go again.
    if (existed) m_host->DeleteSpoolFile(path);
    m_host->SpoolFileResolved({path, drv::Z8LinkHost::SpoolOutcome::Acknowledged, existed, "acknowledged"});
}

void cl::CloseConnection() {
    const bool wasOpen = m_client && m_client->IsOpen();
    if (m_client) m_client->Close();
    if (wasOpen) LinkLost();
}

void cl::LinkLost() {
    int error = 0;
    if (m_connected.load()) NoteLink(false, LossReason(&error), error);
    m_connected.store(false, std::memory_order_release);
    m_host->IndicatorStep();
}

void cl::HandBack(const QueuedPacket& packet) {
    if (packet.origin != PacketOrigin::LiveEvent || packet.packet.size() < drv::z8::kHeaderSize) return;
    m_host->ReturnUndelivered(
        drv::z8::GetU32(&packet.packet[1]),
        std::vector<std::uint8_t>(packet.packet.begin() + drv::z8::kHeaderSize, packet.packet.end()));
}

void cl::ReleaseQueuedPackets(const char* why) {
    std::vector<QueuedPacket> packets;
    {
        std::lock_guard lock(m_ringMutex);
        while (auto head = m_ring.Peek()) {
            m_ring.Remove();
            if (head->origin == PacketOrigin::LiveEvent && head->durableAsked) {
                m_resolvedWhileWritten.emplace_back(head->sequence, false);  // its writer keeps it
            } else {
                packets.push_back(std::move(*head));
            }
        }
    }
    for (const auto& packet : packets) {
        if (packet.origin == PacketOrigin::SpoolFile && !packet.spoolPath.empty())
            m_host->SpoolFileResolved({packet.spoolPath, drv::Z8LinkHost::SpoolOutcome::Lost, false, why});
        HandBack(packet);
    }
}
