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
    connect(&m_timer, &QTimer::timeout, this, &TCommPortDriver::PollReceive);
    connect(&m_reopenTimer, &QTimer::timeout, this, &TCommPortDriver::TryReopen);
}

TCommPortDriver::~TCommPortDriver() { ClosePort(); }

std::uint32_t TCommPortDriver::Now() const { return m_tick ? m_tick() : drv::GetTickCount(); }

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
    if (IsPortOpen()) {
        m_timer.stop();
        StartTimer();
    }
}

void TCommPortDriver::StartTimer() {
    m_timer.start(m_pollingDelay);
    ++m_timerStarts;
}

void TCommPortDriver::SetReopenInterval(int ms) {
    m_reopenIntervalMs = std::max(ms, 1);
    if (m_reopenTimer.isActive()) m_reopenTimer.start(m_reopenIntervalMs);
}

bool TCommPortDriver::OpenPort() {
    if (IsPortOpen()) return true;
    if (m_reopening) {
        TryReopen();
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
    StartTimer();
    return true;
}

void TCommPortDriver::ClosePort() {
    m_reopenTimer.stop();
    m_reopening = false;
    if (!IsPortOpen()) return;
    m_timer.stop();
    m_device->Close();
    ++m_openCount;
    m_open.store(false, std::memory_order_release);
}

void TCommPortDriver::SetDtr(bool on) {
    if (IsPortOpen()) m_device->SetDtr(on);
}

bool TCommPortDriver::PurgeBuffers(bool input, bool output) {
    if (!IsPortOpen()) return false;
    if (!m_device->PurgeComm(input, output)) return false;
    m_packetStartTick = kTickUnset;
    m_waitingAtLastPoll = 0;
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

bool TCommPortDriver::Read(std::uint32_t count, std::uint32_t& got) {
    count = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(m_inputBuffer.size()));
    const auto r = m_device->Read(m_inputBuffer.data(), count);
    got = r ? static_cast<std::uint32_t>(*r) : 0;
    return r.has_value();
}

bool TCommPortDriver::CheckDevicePresent() {
    if (!m_device->Vanished()) return true;
    m_timer.stop();
    m_device->Close();
    ++m_openCount;
    m_open.store(false, std::memory_order_release);
    m_reopening = true;
    m_reopenTimer.start(m_reopenIntervalMs);
    NotifyDeviceChange(false);
    return false;
}

void TCommPortDriver::TryReopen() {
    if (!m_reopening || m_inEvent) return;
    if (!OpenDevice()) return;
    m_reopenTimer.stop();
    m_reopening = false;
    NotifyDeviceChange(true);
}

void TCommPortDriver::NotifyDeviceChange(bool present) {
    if (!m_onDeviceChange) return;
    EventScope scope(m_inEvent);
    m_onDeviceChange(this, present);
}

void TCommPortDriver::PollReceive() {
    if (!IsPortOpen() || m_inEvent) return;
    if (!CheckDevicePresent()) return;
    const unsigned openCount = m_openCount;
    const auto stillOpen = [&] { return IsPortOpen() && m_openCount == openCount; };

    std::uint32_t n = m_device->BytesWaiting().value_or(0);
    std::uint32_t got = 0;

    if (m_packetSize < 1) {
        if (n == 0) return;
        if (Read(n, got) && got >= 1 && m_onReceiveData) {
            EventScope scope(m_inEvent);
            m_onReceiveData(this, m_inputBuffer.data(), got);
        }
        return;
    }

    const auto packetSize = static_cast<std::uint32_t>(m_packetSize);
    if (n >= packetSize) {
        const std::int32_t packetTime = TransmitTimeMs(m_baudRate, packetSize);
        do {
            if (Read(packetSize, got) && got >= 1 && m_onReceivePacket) {
                EventScope scope(m_inEvent);
                m_onReceivePacket(this, m_inputBuffer.data(), got);
            }
            if (!stillOpen()) return;
            n -= packetSize;
            if (n == 0) {
                m_packetStartTick = kTickUnset;
            } else if (m_packetStartTick == kTickUnset) {
                // The bytes left over arrived just now, as far as this poll can tell.
                m_packetStartTick = Now();
                if (m_packetStartTick == kTickUnset) --m_packetStartTick;
            } else {
                // The leftover's first byte followed the packet just taken, but cannot have come later than now
                // (bytes faster than the programmed rate would otherwise put it in the future and cut the
                // leftover at once).
                const std::uint32_t now = Now();
                const std::uint32_t advanced = m_packetStartTick + static_cast<std::uint32_t>(packetTime);
                m_packetStartTick = drv::TicksSince(now, advanced) > 0x80000000u ? now : advanced;
                if (m_packetStartTick == kTickUnset) --m_packetStartTick;
            }
        } while (n >= packetSize);
        m_waitingAtLastPoll = n;
        return;
    }

    const std::uint32_t now = Now();
    // Bytes that came since the last poll mean the line is still busy: the time-out counts from the last poll
    // that saw them, so a short packet is handed on only once the line has been quiet for PacketTimeout. Counted
    // from the first byte instead, a stream at line speed would be cut into short packets every PacketTimeout ms,
    // splitting frames that the receiver can then no longer put together.
    if (m_packetStartTick != kTickUnset && n > m_waitingAtLastPoll)
        m_packetStartTick = now == kTickUnset ? now - 1 : now;
    m_waitingAtLastPoll = n;
    if (m_packetTimeout > 0 && m_packetStartTick != kTickUnset &&
        drv::TicksSince(now, m_packetStartTick) > static_cast<std::uint32_t>(m_packetTimeout)) {
        m_packetStartTick = kTickUnset;
        m_waitingAtLastPoll = 0;
        if (Read(n, got) && m_packetMode == pmPass && got >= 1 && m_onReceivePacket) {
            EventScope scope(m_inEvent);
            m_onReceivePacket(this, m_inputBuffer.data(), got);
        }
        return;
    }
    if (n > 0 && m_packetStartTick == kTickUnset) m_packetStartTick = now == kTickUnset ? now - 1 : now;
}
