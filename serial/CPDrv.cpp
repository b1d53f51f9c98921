#include "serial/CPDrv.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "serial/linuxserial.h"

namespace {

constexpr std::uint32_t kMinBufSize = 128;
constexpr std::uint32_t kMaxBufSize = 8192;
constexpr std::uint16_t kMinPollingDelay = 5;

constexpr std::uint32_t kStandardRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                            14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

std::uint32_t ClampBufSize(std::uint32_t value) { return std::clamp(value, kMinBufSize, kMaxBufSize); }

// Clears the event-running mark however the event ends.
class EventScope {
public:
    explicit EventScope(bool& flag) : m_flag(flag) { m_flag = true; }
    ~EventScope() { m_flag = false; }
    EventScope(const EventScope&) = delete;
    EventScope& operator=(const EventScope&) = delete;

private:
    bool& m_flag;
};

}  // namespace

TCommPortDriver::TCommPortDriver(QObject* owner, std::unique_ptr<drv::SerialDevice> device)
    : QObject(owner), m_device(std::move(device)), m_inputBuffer(m_inBufSize, 0) {
    if (!m_device) m_device = std::make_unique<drv::LinuxSerialDevice>();
    m_timer.setTimerType(Qt::PreciseTimer);
    m_packetTimer.setTimerType(Qt::PreciseTimer);
    m_packetTimer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &TCommPortDriver::PollReceive);
    connect(&m_packetTimer, &QTimer::timeout, this, &TCommPortDriver::PollReceive);
    connect(&m_reopenTimer, &QTimer::timeout, this, &TCommPortDriver::TryReopen);
}

TCommPortDriver::~TCommPortDriver() { ClosePort(); }

std::uint32_t TCommPortDriver::Now() const { return m_clock.Tick(); }

std::uint32_t TCommPortDriver::NowMarked() const {
    const std::uint32_t now = Now();
    return now == kTickUnset ? now - 1 : now;
}

void TCommPortDriver::ApplyIfOpen() {
    if (IsPortOpen()) ApplyLineSettings();
}

void TCommPortDriver::SetPort(TPortNumber value) {
    if (InUse()) return;
    m_port = value;
    if (value != pnCustom) m_portName = "\\\\.\\COM" + std::to_string(static_cast<int>(value));
}

void TCommPortDriver::SetPortName(const std::string& value) {
    if (InUse()) return;
    m_portName = value;
    m_port = pnCustom;
}

void TCommPortDriver::SetBaudRate(TBaudRate value) {
    m_baudRate = value;
    if (value != brCustom) m_baudRateValue = BaudRateOf(value);
    ApplyIfOpen();
}

void TCommPortDriver::SetBaudRateValue(std::uint32_t value) {
    m_baudRateValue = value;
    m_baudRate = brCustom;
    ApplyIfOpen();
}

void TCommPortDriver::SetDataBits(TDataBits value) {
    m_dataBits = value;
    ApplyIfOpen();
}

void TCommPortDriver::SetStopBits(TStopBits value) {
    m_stopBits = value;
    ApplyIfOpen();
}

void TCommPortDriver::SetParity(TParity value) {
    m_parity = value;
    ApplyIfOpen();
}

void TCommPortDriver::SetHwFlow(THwFlowControl value) {
    m_hwFlow = value;
    ApplyIfOpen();
}

void TCommPortDriver::SetSwFlow(TSwFlowControl value) {
    m_swFlow = value;
    ApplyIfOpen();
}

void TCommPortDriver::SetInBufSize(std::uint32_t value) {
    if (InUse()) return;
    WriteInBufSize(value);
    SetPacketSize(m_packetSize);
}

void TCommPortDriver::WriteInBufSize(std::uint32_t value) {
    m_inputBuffer.clear();
    m_inputBuffer.shrink_to_fit();
    m_inBufSize = ClampBufSize(value);
    m_inputBuffer.assign(m_inBufSize, 0);
}

void TCommPortDriver::SetOutBufSize(std::uint32_t value) {
    if (InUse()) return;
    m_outBufSize = ClampBufSize(value);
}

void TCommPortDriver::SetPacketSize(std::int16_t value) {
    if (value <= 0) {
        m_packetSize = -1;
        return;
    }
    std::uint32_t size = static_cast<std::uint32_t>(value);
    if (size > m_inBufSize) {
        if (!InUse()) WriteInBufSize(size);
        size = std::min(size, m_inBufSize);  // a packet never exceeds the input buffer
    }
    m_packetSize = static_cast<std::int16_t>(size);
}

void TCommPortDriver::SetPacketTimeout(std::int32_t value) { m_packetTimeout = value <= 0 ? -1 : value; }

void TCommPortDriver::SetPollingDelay(std::uint16_t value) {
    value = std::max(value, kMinPollingDelay);
    if (value == m_pollingDelay) return;
    m_pollingDelay = value;
    if (IsPortOpen() && !m_notifier) {
        m_timer.stop();
        StartTimer();
    }
}

void TCommPortDriver::StartTimer() {
    m_timer.start(m_pollingDelay);
    ++m_timerStarts;
}

void TCommPortDriver::StartWatching() {
    int fd = m_device->ReadinessHandle();
    if (fd < 0) {
        StartTimer();
        return;
    }
    // Without a reader thread (none could be made) the device's own readiness is watched and its chunks are
    // stamped when the owning thread reads them.
    m_reader = std::make_unique<drv::LineReader>(m_clock);
    if (m_reader->Start(fd)) {
        fd = m_reader->WakeHandle();
    } else {
        m_reader.reset();
    }
    // A child, so that one released inside its own signal and not yet deleted goes with the component.
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read, this);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TCommPortDriver::PollReceive);
}

void TCommPortDriver::SetReopenInterval(int ms) {
    m_reopenIntervalMs = std::max(ms, 1);
    if (m_reopenTimer.isActive()) m_reopenTimer.start(std::min(m_reopenIntervalMs, kPresenceCheckMs));
}

bool TCommPortDriver::OpenPort() {
    if (IsPortOpen()) return true;
    if (m_reopening) {
        AttemptReopen(true);
        return IsPortOpen();
    }
    return OpenDevice();
}

bool TCommPortDriver::OpenDevice() {
    if (!m_device->Open(m_portName)) return false;
    ++m_openCount;
    m_open.store(true, std::memory_order_release);
    if (!ApplyLineSettings()) {
        ClosePort();
        return false;
    }
    m_device->SetCommTimeouts(1, 1, 10);
    StartWatching();
    return true;
}

void TCommPortDriver::ReleaseDevice() {
    m_timer.stop();
    m_packetTimer.stop();
    if (m_notifier) {
        // This may run inside the notifier's own signal: it goes once control is back in the loop.
        m_notifier->setEnabled(false);
        m_notifier.release()->deleteLater();
    }
    if (m_reader) {
        m_reader->Stop();  // before the descriptor it reads goes
        m_reader.reset();
    }
    m_device->Close();
    ++m_openCount;
    ForgetLine();
    m_open.store(false, std::memory_order_release);
}

void TCommPortDriver::ClosePort() {
    m_reopenTimer.stop();
    m_reopening = false;
    m_reportedHolder = 0;
    if (!IsPortOpen()) return;
    ReleaseDevice();
}

void TCommPortDriver::StartReopening() {
    if (InUse()) return;
    m_reopening = true;
    m_lastPresence = 0;
    m_lastAttemptTick = Now();
    m_reopenTimer.start(std::min(m_reopenIntervalMs, kPresenceCheckMs));
}

void TCommPortDriver::SetDtr(bool on) {
    if (IsPortOpen()) m_device->SetDtr(on);
}

bool TCommPortDriver::PurgeBuffers(bool input, bool output) {
    if (!IsPortOpen()) return false;
    // Nothing the reader took before the purge may be handed on after it.
    const bool purged = m_reader ? m_reader->Discard([&] { return m_device->PurgeComm(input, output); })
                                 : m_device->PurgeComm(input, output);
    if (!purged) return false;
    ++m_openCount;  // a poll an event interrupted must not go on counting the discarded bytes
    ForgetLine();
    return true;
}

drv::Dcb TCommPortDriver::BuildDcb() const {
    drv::Dcb dcb;
    dcb.DCBlength = drv::kDcbLength;
    dcb.BaudRate = m_baudRateValue;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = m_hwFlow == hfRTSCTS ? 1 : 0;
    dcb.fDtrControl = m_enableDtrOnOpen ? drv::kDtrControlEnable : drv::kDtrControlDisable;
    switch (m_hwFlow) {
        case hfNONE:
            dcb.fRtsControl = drv::kRtsControlDisable;
            break;
        case hfNONERTSON:
            dcb.fRtsControl = drv::kRtsControlEnable;
            break;
        case hfRTSCTS:
            dcb.fRtsControl = drv::kRtsControlHandshake;
            break;
        case hfRTSTOG:
            dcb.fRtsControl = drv::kRtsControlToggle;
            break;
    }
    const std::uint8_t xonXoff = m_swFlow == sfXONXOFF ? 1 : 0;
    dcb.fOutX = xonXoff;
    dcb.fInX = xonXoff;
    dcb.XonLim = static_cast<std::uint16_t>(m_inBufSize / 4);
    dcb.XoffLim = static_cast<std::uint16_t>(m_inBufSize / 4);
    dcb.ByteSize = static_cast<std::uint8_t>(5 + m_dataBits);
    dcb.Parity = static_cast<std::uint8_t>(m_parity);
    dcb.StopBits = static_cast<std::uint8_t>(m_stopBits);
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

bool TCommPortDriver::ApplyLineSettings() {
    if (!IsPortOpen()) return false;
    if (!m_device->SetCommState(BuildDcb())) return false;
    if (!PurgeBuffers(true, true)) return false;
    return m_device->SetupComm(m_inBufSize, m_outBufSize);
}

std::uint32_t TCommPortDriver::BaudRateOf(TBaudRate rate) const {
    if (rate == brCustom || rate > br256000) return m_baudRateValue;
    return kStandardRates[rate];
}

std::int32_t TCommPortDriver::TransmitTimeMs(TBaudRate rate, std::uint32_t count) const {
    const std::uint32_t bitsPerSecond = BaudRateOf(rate);
    if (bitsPerSecond == 0) return 0;
    const double ms = std::nearbyint(static_cast<double>(count) / (bitsPerSecond / 10.0) * 1000.0);
    if (ms >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(ms);
}

bool TCommPortDriver::TakeWaitingBytes() {
    const auto room = static_cast<std::uint32_t>(m_inputBuffer.size()) - m_have;
    if (room == 0) return true;
    if (m_reader) {
        m_arrivals.clear();
        const std::size_t n = m_reader->Take(m_inputBuffer.data() + m_have, room, m_arrivals);
        for (const auto& a : m_arrivals) NoteArrival(a.size, a.tick == kTickUnset ? a.tick - 1 : a.tick, a.continued);
        return n > 0 || m_reader->TakeFailure() == 0;
    }
    const auto r = m_device->Read(m_inputBuffer.data() + m_have, room);
    if (!r || *r == 0) return r.has_value();
    NoteArrival(static_cast<std::uint32_t>(*r), NowMarked(), false);
    return true;
}

void TCommPortDriver::NoteArrival(std::uint32_t size, std::uint32_t tick, bool continued) {
    if (size == 0) return;
    std::uint32_t silence = 0;
    if (!continued) {
        silence = m_lastByteTick == kTickUnset ? kSilenceUnknown : drv::TicksSince(tick, m_lastByteTick);
        m_marks.push_back({m_have, silence});
    }
    if (m_have == 0) {
        m_packetStartTick = tick;
        m_pendingSilence = silence;
    }
    m_have += size;
    m_lastByteTick = tick;
}

std::optional<std::size_t> TCommPortDriver::ReadStream() {
    if (!m_reader) return m_device->Read(m_inputBuffer.data(), m_inputBuffer.size());
    m_arrivals.clear();
    const std::size_t n = m_reader->Take(m_inputBuffer.data(), m_inputBuffer.size(), m_arrivals);
    if (n == 0 && m_reader->TakeFailure() != 0) return std::nullopt;
    return n;
}

template <typename Event>
void TCommPortDriver::RunEvent(Event&& event) {
    {
        EventScope scope(m_inEvent);
        event();
    }
    if (!m_resumeAfterEvent) return;
    m_resumeAfterEvent = false;
    // Reception asked for during the event goes on from the loop, with whatever the event left open.
    if (IsPortOpen()) {
        if (m_notifier) m_notifier->setEnabled(true);
        m_packetTimer.start(0);
    }
}

void TCommPortDriver::DeliverPacket(std::uint32_t size, std::uint32_t silence) {
    if (!m_onReceivePacket) return;
    struct Facts {
        TCommPortDriver* d;
        ~Facts() {
            d->m_deliverySilence = kSilenceUnknown;
            d->m_deliveryChunks.clear();
        }
    } facts{this};
    m_deliverySilence = silence;
    m_deliveryChunks.clear();
    // A packet that begins inside a chunk (the rest of one a full packet cut) begins with the silence before it.
    if (m_marks.empty() || m_marks.front().offset != 0) m_deliveryChunks.push_back({0, silence});
    for (const TChunkMark& m : m_marks) {
        if (m.offset >= size) break;
        m_deliveryChunks.push_back(m);
    }
    RunEvent([&] { m_onReceivePacket(this, m_inputBuffer.data(), size); });
}

void TCommPortDriver::ForgetLine() {
    m_have = 0;
    m_marks.clear();
    m_packetStartTick = kTickUnset;
    m_lastByteTick = kTickUnset;
    m_pendingSilence = kSilenceUnknown;
    m_packetTimer.stop();
}

bool TCommPortDriver::CheckDevicePresent() {
    if (!m_device->Vanished()) return true;
    ReleaseDevice();
    m_reopening = true;
    m_lastPresence = 0;
    m_lastAttemptTick = Now();
    m_reopenTimer.start(std::min(m_reopenIntervalMs, kPresenceCheckMs));
    NotifyDeviceChange(false);
    return false;
}

void TCommPortDriver::TryReopen() { AttemptReopen(false); }

void TCommPortDriver::AttemptReopen(bool force) {
    if (!m_reopening || m_inEvent) return;
    // A missing device costs a look only; one that is there is tried when it is new, or again after the interval.
    const std::uint64_t presence = m_device->Presence(m_portName);
    const bool changed = presence != m_lastPresence;
    m_lastPresence = presence;
    if (presence == 0 && !force) return;
    const std::uint32_t now = Now();
    if (!force && !changed && drv::TicksSince(now, m_lastAttemptTick) < static_cast<std::uint32_t>(m_reopenIntervalMs))
        return;
    m_lastAttemptTick = now;
    if (!OpenDevice()) {
        const int holder = m_device->HolderPid();
        if (holder != 0 && holder != m_reportedHolder && m_onDeviceHeld) {
            m_reportedHolder = holder;
            EventScope scope(m_inEvent);
            m_onDeviceHeld(this, holder);
        }
        return;
    }
    m_reopenTimer.stop();
    m_reopening = false;
    m_reportedHolder = 0;
    NotifyDeviceChange(true);
}

void TCommPortDriver::NotifyDeviceChange(bool present) {
    if (!m_onDeviceChange) return;
    RunEvent([&] { m_onDeviceChange(this, present); });
}

void TCommPortDriver::PollReceive() {
    if (!IsPortOpen()) return;
    if (m_inEvent) {
        // A level-triggered notifier would fire on and on inside the event's nested loop: it rests until then.
        if (m_notifier) m_notifier->setEnabled(false);
        m_resumeAfterEvent = true;
        return;
    }
    if (!CheckDevicePresent()) return;
    const unsigned openCount = m_openCount;
    const auto stillOpen = [&] { return IsPortOpen() && m_openCount == openCount; };

    if (m_packetSize < 1) {
        m_have = 0;
        m_marks.clear();
        const auto r = ReadStream();
        if (r && *r >= 1 && m_onReceiveData) {
            RunEvent([&] { m_onReceiveData(this, m_inputBuffer.data(), static_cast<std::uint32_t>(*r)); });
        }
        return;
    }

    if (!TakeWaitingBytes()) {
        if (m_device->Vanished()) {
            CheckDevicePresent();
            return;
        }
        // A device that stays readable but fails its reads would wake the loop on and on: it rests for a poll
        // interval, and what it holds is handed on as usual.
        if (m_notifier) {
            m_notifier->setEnabled(false);
            QTimer::singleShot(m_pollingDelay, this, [this, openCount] {
                if (m_notifier && m_openCount == openCount) m_notifier->setEnabled(true);
            });
        }
    }

    const auto packetSize = static_cast<std::uint32_t>(m_packetSize);
    while (m_have >= packetSize) {
        DeliverPacket(packetSize, m_pendingSilence);
        if (!stillOpen()) return;
        m_have -= packetSize;
        std::copy(m_inputBuffer.begin() + packetSize, m_inputBuffer.begin() + packetSize + m_have,
                  m_inputBuffer.begin());
        std::erase_if(m_marks, [&](const TChunkMark& m) { return m.offset < packetSize; });
        for (TChunkMark& m : m_marks) m.offset -= packetSize;
        // The rest came with the latest read, right behind the packet just handed on.
        m_pendingSilence = 0;
        m_packetStartTick = m_have > 0 ? m_lastByteTick : kTickUnset;
    }

    if (m_have == 0 || m_packetTimeout <= 0) {
        m_packetTimer.stop();
        return;
    }
    const std::uint32_t elapsed = drv::TicksSince(Now(), m_packetStartTick);
    const auto timeout = static_cast<std::uint32_t>(m_packetTimeout);
    if (elapsed <= timeout) {
        m_packetTimer.start(static_cast<int>(timeout - elapsed + 1));
        return;
    }
    const std::uint32_t size = m_have;
    const std::uint32_t silence = m_pendingSilence;
    m_packetTimer.stop();
    if (m_packetMode == pmPass) DeliverPacket(size, silence);
    if (!stillOpen()) return;
    m_have = 0;
    m_marks.clear();
    m_packetStartTick = kTickUnset;
}
