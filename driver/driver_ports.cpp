// COM port management of the driver: the rescan, the selection, start and stop of the station's port, the
// port status reports, and what the driver does when the port's device goes away and comes back.
#include <cstdio>
#include <string>

#include "core/config.h"
#include "core/portlog.h"
#include "driver/driver.h"
#include "platform/cp1251.h"
#include "platform/inifile.h"
#include "serial/CPDrv.h"
#include "serial/portnames.h"
#include "z8link/z8codec.h"

namespace {

constexpr const char* kPortInUseText = "Порт уже занят!";
constexpr const char* kAccessDeniedText = "Неправильный пароль. В доступе отказано";
constexpr const char* kDeviceLostLog = "Порт %1: устройство отключено, порт закрыт. Попытки открыть его снова.";
constexpr const char* kDeviceBackLog = "Порт %1: устройство снова на месте, порт открыт.";
constexpr const char* kDeviceLostErr =
    "drvorvel: port %s: the device went away; opening it again as soon as it is back\n";
constexpr const char* kDeviceBackErr = "drvorvel: port %s: the device is back and the port open again\n";
constexpr const char* kDeviceHeldErr =
    "drvorvel: port %s: the device is held by process %d; waiting until that program lets it go\n";

constexpr int kScanFirst = 1;
constexpr int kScanLast = 32;

// The name as the operator sees it: PortName without its "\\.\" prefix.
std::string ShownPortName(const std::string& portName) {
    return portName.starts_with(drv::kPortNamePrefix) ? portName.substr(drv::kPortNamePrefix.size()) : portName;
}

}  // namespace

namespace drv {

void Driver::SetPortState(bool running, bool selectFirst) {
    m_portRunning = running;
    m_view->PortState(running, selectFirst);
}

void Driver::SetPortControlsStopped() { SetPortState(false, true); }

void Driver::ClosePort() {
    if (CommPortDriver1 != nullptr) CommPortDriver1->ClosePort();
}

void Driver::RescanPorts(const std::string& shownText) {
    // Opening and closing every name would take the running station port away (an open port keeps its name and
    // "opens" again at once) or race its reopening after a lost device.
    if (PortRunning() || CommPortDriver1->IsPortOpen()) return;
    // The attempts on a port that did not open at startup end here: the operator chooses now.
    if (CommPortDriver1->Reopening())
        drv::TellPortRecoveryEnds(ShownPortName(CommPortDriver1->PortName()), "the operator scans the ports");
    CommPortDriver1->ClosePort();
    std::vector<std::string> names;
    for (int n = kScanFirst; n <= kScanLast; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (!OpenStationPort(std::string(drv::kPortNamePrefix) + name)) continue;
        CommPortDriver1->ClosePort();
        names.push_back(name);
    }
    m_view->PortList(names, shownText);
    SelectPort(names.empty() ? shownText : names.front());
}

void Driver::SelectPort(const std::string& name) {
    try {
        if (PortRunning()) return;
        // Stored and reported in the code page of the configuration file, one byte a character.
        const std::string text = drv::Utf8ToCp1251(name);
        if (drv::IniFile::WriteString(WorkingPath(drv::kConfigFileName), "main", "ComPort", text)) {
            m_state.shared.SetComPort(text);
            ReportPortStatus();
            return;
        }
    } catch (...) {
    }
    try {
        LogError(19);
    } catch (...) {
    }
}

void Driver::StopPort(bool allowed) {
    if (allowed) {
        // Also ends the attempts to reopen a port whose device went away.
        drv::TellPortStopped(ShownPortName(CommPortDriver1->PortName()), CommPortDriver1->Reopening());
        drv::DriverMetrics::Count(m_metrics.portOperatorStops);
        m_metrics.portStoppedMs.store(m_metrics.SteadyMs());
        CommPortDriver1->ClosePort();
        SetPortState(false);
    } else {
        ShowMessageText(QString::fromUtf8(kAccessDeniedText));
    }
    ReportPortStatus();
}

void Driver::StartPort(const std::string& name) {
    if (CommPortDriver1->Reopening())
        drv::TellPortRecoveryEnds(ShownPortName(CommPortDriver1->PortName()), "the operator starts " + name);
    CommPortDriver1->ClosePort();  // ends the attempts on a port that did not open at startup
    if (OpenStationPort(std::string(drv::kPortNamePrefix) + name)) {
        CommPortDriver1->SetDtr(true);
        SetPortState(true);
        const std::int64_t stopped = m_metrics.portStoppedMs.exchange(-1);
        drv::TellPortStarted(name, stopped >= 0 ? m_metrics.SteadyMs() - stopped : -1);
        SendZ7PortRecord();
    } else {
        drv::TellPortStartFailed(name);
        ShowMessageText(QString::fromUtf8(kPortInUseText));
        if (StopRequested()) return;  // the program is ending: no scan of every port now
        RescanPorts(name);
    }
    ReportPortStatus();
}

void Driver::ReportPortStatus() {
    if (!Z8Link) return;
    QueueZ8Packet(drv::z8::kPortStatus,
                  drv::z8::PortStatusPayload(m_state.shared.ComPort(), CommPortDriver1->IsPortOpen()));
}

void Driver::CommPortDriver1DeviceHeld(QObject* /*Sender*/, int pid) {
    std::fprintf(stderr, kDeviceHeldErr, ShownPortName(CommPortDriver1->PortName()).c_str(), pid);
    std::fflush(stderr);
}

void Driver::CommPortDriver1DeviceChange(QObject* /*Sender*/, bool present) {
    const std::string name = ShownPortName(CommPortDriver1->PortName());
    if (present) {
        std::fprintf(stderr, kDeviceBackErr, name.c_str());
        // A port that did not open at startup has opened: the controls show it running, as a start would.
        if (!PortRunning()) {
            SetPortState(true);
            SendZ7PortRecord();
        }
    } else {
        // The rest of a frame that the loss cut never comes: the next bytes start a new frame.
        m_decoder.Reset();
        std::fprintf(stderr, kDeviceLostErr, name.c_str());
    }
    std::fflush(stderr);
    const QString text = QString::fromUtf8(present ? kDeviceBackLog : kDeviceLostLog).arg(QString::fromStdString(name));
    AppendLinkLog(QString::fromStdString(drv::FormatDateTime(NowTime(), true)) + QLatin1Char(' ') + text);
    ReportPortStatus();
}

}  // namespace drv
