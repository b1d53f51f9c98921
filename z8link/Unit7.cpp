#include "z8link/Unit7.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <new>

#include "platform/inifile.h"
#include "platform/version.h"

namespace {

constexpr const char* kTextConnecting = "Соединение...";
constexpr const char* kTextConnected = "Соединение установлено.";
constexpr const char* kTextErrorsReconnect = "Ошибки по сети - переподсоединение.";
constexpr const char* kTextServerDisconnect = "Сервер дал команду на рассоединение.";
constexpr const char* kTextAccessDenied = "Доступ запрещен.";

constexpr const char* kServerHostSection = "ServerHost";
constexpr const char* kDefaultAddress = "127.0.0.1";
constexpr std::int32_t kDefaultPort = 12543;

using drv::z8::PacketOrigin;
using drv::z8::QueuedPacket;

}  // namespace

cl::cl(std::shared_ptr<drv::Z8LinkHost> host, drv::Z8LinkConfig config)
    : m_host(std::move(host)), m_config(std::move(config)) {}

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

std::uint32_t cl::Tick() const { return m_config.tick ? m_config.tick() : drv::GetTickCount(); }

drv::TDateTime cl::NowTime() const { return m_config.now ? m_config.now() : drv::Now(); }

bool cl::QueuePacket(std::uint32_t code, const std::vector<std::uint8_t>& payload, PacketOrigin origin,
                     std::string spoolPath) {
    std::lock_guard lock(m_ringMutex);
    const std::uint64_t sequence = m_sequence++;
    if (origin == PacketOrigin::LiveEvent && (m_refused.load() || m_stop.load())) return false;
    if (m_ring.Full()) return false;
    try {
        return m_ring.Put(QueuedPacket{drv::z8::BuildPacket(code, sequence, payload), origin, std::move(spoolPath)});
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<QueuedPacket> cl::TakeQueuedLiveEvents() {
    std::vector<QueuedPacket> events;
    std::lock_guard lock(m_ringMutex);
    while (auto head = m_ring.Peek()) {
        m_ring.Remove();
        if (head->origin == PacketOrigin::LiveEvent) events.push_back(std::move(*head));
    }
    return events;
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
        m_stopSignal.Sleep(m_config.timings.stepSleepMs);
    }
    if (m_client && m_client->IsOpen()) CloseConnection();
    m_client.reset();
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
    const auto& t = m_config.timings;
    m_client = std::make_unique<drv::z8::BlockingTcpClient>(t.connectTimeoutMs, t.readTimeoutMs, t.writeTimeoutMs,
                                                            m_stopSignal, m_config.resolver);
    m_polling = false;
    const drv::IniFile ini(drv::JoinPath(m_config.workingDirectory, "drvorvel.ini"));
    const std::string address = ini.ReadString(kServerHostSection, "Address", kDefaultAddress);
    const std::int32_t port = ini.ReadInteger(kServerHostSection, "Port", kDefaultPort);
    if (!m_client->Connect(address, port)) return;
    if (!Handshake()) {
        m_client->Close();
        return;
    }
    m_connected.store(true, std::memory_order_release);
    m_host->SetLastForwardTime(NowTime() - 1.0);
    Log(kTextConnected);
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
        m_connected.store(false, std::memory_order_release);
    }

    bool triedToSend = false;
    std::optional<QueuedPacket> inFlight;
    std::optional<QueuedPacket> head;
    {
        std::lock_guard lock(m_ringMutex);
        head = m_ring.Peek();
    }
    if (head) {
        triedToSend = true;
        bool internalFailure = false;
        const bool sent = SendFrame(head->packet, &internalFailure);
        if (!internalFailure) {
            // Only the link thread removes, so the head is still the packet just sent.
            std::lock_guard lock(m_ringMutex);
            m_ring.Remove();
            inFlight = std::move(head);
        }
        if (!sent) ++m_errors;
    } else if (m_polling) {
        const std::uint32_t now = Tick();
        if (drv::TicksSince(now, m_lastPollTick) > m_config.timings.pollIntervalMs) {
            m_lastPollTick = now;
            triedToSend = true;
            if (!SendFrame(drv::z8::BuildPollPacket())) ++m_errors;
        }
    }

    bool delivered = false;
    if (triedToSend || m_expectReply) {
        m_expectReply = false;
        if (ReadReply()) {
            delivered = HandleReply(inFlight);
        } else {
            ++m_errors;
        }
    }
    if (inFlight && !delivered) HandBack(*inFlight);
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

bool cl::ReadReply() {
    m_reply.clear();
    if (!m_client) return false;
    std::uint8_t prefix[drv::z8::kPrefixSize];
    const auto head = m_client->Read(prefix, sizeof prefix);
    if (head.count < sizeof prefix) return false;
    const auto info = drv::z8::ParsePrefix(prefix);
    if (!info.markerOk) return false;
    const std::int32_t n = info.bodyLength;
    if (n == 0) return false;
    if (n < 0 || static_cast<std::size_t>(n) > m_config.timings.maxBodySize) {
        ++m_errors;
        return false;
    }
    try {
        m_reply.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        m_reply.clear();
        ++m_errors;
        return false;
    }
    std::size_t got = 0;
    std::uint32_t lastProgress = Tick();
    while (got < m_reply.size()) {
        const std::size_t ask = std::min(m_reply.size() - got, m_config.timings.chunkSize);
        const auto r = m_client->Read(m_reply.data() + got, ask);
        got += r.count;
        if (r.count > 0) lastProgress = Tick();
        if (r.status == drv::z8::ReadStatus::Complete) continue;
        if (r.status == drv::z8::ReadStatus::Timeout &&
            drv::TicksSince(Tick(), lastProgress) < m_config.timings.bodyStallMs) {
            continue;
        }
        m_reply.clear();
        return false;
    }
    return true;
}

bool cl::HandleReply(const std::optional<QueuedPacket>& answered) {
    if (!drv::z8::IsAcceptedReply(m_reply.data(), m_reply.size())) return false;
    m_errors = 0;
    m_host->IndicatorStep();
    switch (drv::z8::ReplyCode(m_reply.data())) {
        case drv::z8::kStartPolling:
            m_polling = true;
            break;
        case drv::z8::kEventAcknowledged:
            if (answered && answered->origin == PacketOrigin::SpoolFile) AcknowledgeSpoolFile(answered->spoolPath);
            break;
        case drv::z8::kRequest:
            QueuePacket(drv::z8::kAnswer, {});
            break;
        case drv::z8::kAccessDenied:
            m_connected.store(false, std::memory_order_release);
            m_connectionAllowed = false;
            m_refused.store(true);
            m_host->IndicatorStep();
            CloseConnection();
            // Nothing leaves in this run any more: queued live events go back to be kept.
            HandBackQueuedLiveEvents();
            return false;
        case drv::z8::kDropConnection:
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
            break;
        default:
            break;
    }
    return true;
}

void cl::AcknowledgeSpoolFile(const std::string& path) {
    if (path.empty()) return;
    if (::access(path.c_str(), F_OK) == 0) {
        // A failed deletion leaves the file to be forwarded again: a duplicate, never a loss.
        ::unlink(path.c_str());
        if (path == m_host->ForwardedSpoolPath()) m_host->SetLastForwardTime(NowTime() - 1.0);
    }
    m_host->SpoolFileAcknowledged(path);
}

void cl::CloseConnection() {
    const bool wasOpen = m_client && m_client->IsOpen();
    if (m_client) m_client->Close();
    if (wasOpen) LinkLost();
}

void cl::LinkLost() {
    m_connected.store(false, std::memory_order_release);
    m_host->IndicatorStep();
}

void cl::HandBack(const QueuedPacket& packet) {
    if (packet.origin != PacketOrigin::LiveEvent || packet.packet.size() < drv::z8::kHeaderSize) return;
    m_host->ReturnUndelivered(
        drv::z8::GetU32(&packet.packet[1]),
        std::vector<std::uint8_t>(packet.packet.begin() + drv::z8::kHeaderSize, packet.packet.end()));
}

void cl::HandBackQueuedLiveEvents() {
    for (const auto& packet : TakeQueuedLiveEvents()) HandBack(packet);
}
