// Z7 link glue of the driver: the client's handlers, the reconnect timer, status and port records, and the
// .obz spool files.
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/spool.h"
#include "driver/driver.h"
#include "platform/faults.h"
#include "platform/localclock.h"
#include "serial/CPDrv.h"
#include "z7link/SimpleTCP.h"
#include "z7link/z7record.h"

namespace {

constexpr std::uint16_t kZ7Port = 7788;
constexpr int kReconnectIntervalMs = 3000;

std::vector<std::uint8_t> Bytes(const drv::z7::Record& record) { return {record.begin(), record.end()}; }

// Why a Z7 connection failed, from the client's error number.
drv::LinkReason Z7Reason(std::int32_t code) {
    switch (code) {
        case 10061:
            return drv::LinkReason::Refused;
        case 10060:
            return drv::LinkReason::TimedOut;
        case 10014:
        case 11001:
        case 11002:
            return drv::LinkReason::NameNotFound;
        case 10050:
        case 10051:
        case 10064:
        case 10065:
            return drv::LinkReason::Unreachable;
        case 10053:
        case 10054:
            return drv::LinkReason::ClosedByServer;
        default:
            return drv::LinkReason::Failed;
    }
}

}  // namespace

namespace drv {

void Driver::CreateZ7Client() {
    SimpleTCPClient1 = new TSimpleTCPClient(this);
    SimpleTCPClient1->setObjectName(QStringLiteral("SimpleTCPClient1"));
    SimpleTCPClient1->Port = m_options.z7Port != 0 ? m_options.z7Port : kZ7Port;
    SimpleTCPClient1->OnConnected = [this](QObject* s) { SimpleTCPClient1Connected(s); };
    SimpleTCPClient1->OnDisconnected = [this](QObject* s) { SimpleTCPClient1Disconnected(s); };
    SimpleTCPClient1->OnRead = [this](QObject* s, const std::vector<std::uint8_t>& b) { SimpleTCPClient1Read(s, b); };
    SimpleTCPClient1->OnError = [this](QObject* s, int socket, std::int32_t code, const std::string& text) {
        SimpleTCPClient1Error(s, socket, code, text);
    };
    Timer3 = new QTimer(this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
    Timer3->setInterval(kReconnectIntervalMs);
    Timer3->setTimerType(Qt::PreciseTimer);  // a coarse timer may come 5 % late: a retry every 3 s, not 3.15 s
    connect(Timer3, &QTimer::timeout, this, [this] { drv::RunHandler("Timer3Timer", [this] { Timer3Timer(); }); });
    Timer3->start();
}

void Driver::StopZ7Client() {
    Timer3->stop();
    // The link goes without a word: nothing is shown any more.
    SimpleTCPClient1->OnConnected = nullptr;
    SimpleTCPClient1->OnDisconnected = nullptr;
    SimpleTCPClient1->OnRead = nullptr;
    SimpleTCPClient1->SetConnected(false);
    Z7Connected = false;
}

void Driver::Timer3Timer() {
    if (m_state.settings.SendZ7 && !SimpleTCPClient1->Connected()) SimpleTCPClient1->SetConnected(true);
}

void Driver::SimpleTCPClient1Connected(QObject* /*Sender*/) {
    // Bytes of an earlier connection belong to no record of this one.
    if (m_state.Z7ReceiveBuffer) m_state.Z7ReceiveBuffer->clear();
    Z7Connected = true;
    m_metrics.SetLink(drv::Link::Z7, true, drv::LinkReason::Connected, Z7ServerText(true));
    m_view->IndicatorStep(DriverView::Indicator::Z7, Z7Connected, Z7ActivityCounter);
    SimpleTCPClient1->SendStream(Bytes(drv::z7::BuildRecord(drv::z7::kHello, drv::z7::kHelloParam)));
    SendZ7PortRecord();
}

void Driver::SimpleTCPClient1Disconnected(QObject* /*Sender*/) {
    if (m_state.Z7ReceiveBuffer) m_state.Z7ReceiveBuffer->clear();
    // An attempt that failed closes a link that never was up: the error that follows gives its reason.
    if (Z7Connected) m_metrics.SetLink(drv::Link::Z7, false, drv::LinkReason::ClosedByServer, Z7ServerText(false));
    Z7Connected = false;
    m_view->IndicatorStep(DriverView::Indicator::Z7, Z7Connected, Z7ActivityCounter);
}

void Driver::SimpleTCPClient1Error(QObject* /*Sender*/, int /*Socket*/, std::int32_t ErrorCode,
                                   const std::string& ErrorMsg) {
    // The client has closed the link already; Timer3 tries again.
    const drv::LinkReason reason = Z7Reason(ErrorCode);
    m_metrics.SetLink(drv::Link::Z7, false, reason,
                      Z7ServerText(false, reason == drv::LinkReason::Failed ? " (" + ErrorMsg + ")" : ""));
}

std::string Driver::Z7ServerText(bool up, const std::string& why) const {
    return "Z7 server " + SimpleTCPClient1->Host.Value() + ":" + std::to_string(SimpleTCPClient1->Port.Value()) + why +
           (up ? "" : "; trying every " + std::to_string(kReconnectIntervalMs) + " ms");
}

void Driver::SimpleTCPClient1Read(QObject* /*Sender*/, const std::vector<std::uint8_t>& Stream) {
    if (!m_state.Z7ReceiveBuffer) return;
    // The pieces leave the buffer before any is handled, so none is handled twice whatever a handler does.
    const auto pieces = drv::z7::CutRecords(*m_state.Z7ReceiveBuffer, Stream.data(), Stream.size());
    for (const auto& piece : pieces) {
        if (!drv::z7::HasSignature(piece.data())) continue;
        drv::RunHandler("SimpleTCPClient1Read", [&] {
            Z7ActivityCounter = NextIndicatorPhase(Z7ActivityCounter);
            m_view->IndicatorStep(DriverView::Indicator::Z7, Z7Connected, Z7ActivityCounter);
            const std::uint8_t code = drv::z7::CodeOf(piece.data());
            if (code == drv::z7::kSetClock) SetZ7Clock(drv::z7::DateTimeOf(piece.data()));
            if (code == drv::z7::kClose) RequestRemoteClose();
        });
    }
}

void Driver::SetZ7Clock(drv::TDateTime value) {
    const auto target = drv::z7::ClockTarget(value);
    if (!target) {
        std::fprintf(stderr,
                     "drvorvel: the Z7 server's clock record carries no valid time (%.9g); the clock is left alone\n",
                     value);
        return;
    }
    const int error = m_options.setClock ? m_options.setClock(*target) : drv::SetLocalClock(*target);
    if (error != 0 && !m_clockFailureReported) {
        m_clockFailureReported = true;
        std::fprintf(stderr, "drvorvel: the clock cannot be set (%s%s); the Z7 server's clock records change nothing\n",
                     std::strerror(error), error == EPERM ? ": the driver needs the right to set the time" : "");
    }
}

void Driver::SendZ7Record(std::uint8_t code) {
    const auto record = Bytes(drv::z7::BuildStatusRecord(code));
    // A record the link does not take whole (down, still connecting, or a failed send) waits in a spool file.
    if (SimpleTCPClient1->Connected() &&
        SimpleTCPClient1->SendStream(record) == static_cast<std::int32_t>(record.size()))
        return;
    SpoolZ7Record(record);
}

void Driver::SpoolZ7Record(const std::vector<std::uint8_t>& record) {
    const auto value = drv::SpoolTimeValue(NowTime());
    if (!value) LogErrorNoThrow(11);  // no stamp: "_<n_abs>.obz", or the first free stem from 0 up when taken
    const auto result = drv::WriteSpoolFile(SpoolPrefix(), value, drv::z7::SpoolSuffix(m_state.settings.n_abs), record,
                                            SpoolFileSystem());
    if (result.ok) NoteSpoolFileWritten(result.path);
    if (!result.ok) {
        std::fprintf(stderr, "drvorvel: a Z7 status record (code %u) could not be spooled under \"%s\": %s\n",
                     record[drv::z7::kCodeOffset], SpoolPrefix().c_str(), std::strerror(result.error));
    }
}

void Driver::SendZ7PortRecord() {
    if (!SimpleTCPClient1->Connected()) return;
    const std::string& name = CommPortDriver1->PortName();
    const auto number = drv::z7::PortNumberOf(name);
    if (!number) {
        drv::ReportFault("SendZ7PortRecord",
                         "the port name \"" + name + "\" carries no COM number; no port record sent");
        return;
    }
    SimpleTCPClient1->SendStream(Bytes(drv::z7::BuildRecord(drv::z7::kPortNumber, *number)));
}

}  // namespace drv
