// Startup, shutdown and the error log of the driver.
#include "driver/driver.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "core/driverfiles.h"
#include "core/spoolindex.h"
#include "core/spoolrescue.h"
#include "platform/faults.h"
#include "platform/inifile.h"
#include "serial/CPDrv.h"
#include "z7link/SimpleTCP.h"

namespace {
constexpr const char* kPortBusyText = "Порт уже занят. Смените его.";
}

namespace drv {

Driver::Driver(DriverView* view, DriverOptions options, QObject* parent)
    : QObject(parent), m_view(view), m_options(std::move(options)), m_metrics(m_options.clock) {
    CreateSerialComponent();
    CreateZ7Client();
}

Driver::~Driver() { FormDestroy(this); }

drv::TDateTime Driver::NowTime() const { return m_options.clock.Now(); }

std::int64_t Driver::MonotonicMs() const { return m_options.clock.MonotonicMs(); }

std::string Driver::WorkingPath(const char* fileName) const {
    return drv::JoinPath(m_state.WorkingDirectory, fileName);
}

std::string Driver::SpoolPrefix() const {
    return drv::SpoolPrefixFor(m_state.WorkingDirectory, m_state.settings.PathForSoob);
}

void Driver::FormCreate(QObject* /*Sender*/) {
    // 1. The working directory.
    if (!m_options.workingDirectory.empty()) {
        m_state.WorkingDirectory = m_options.workingDirectory;
    } else {
        char buf[4096];
        m_state.WorkingDirectory = ::getcwd(buf, sizeof buf) ? buf : ".";
    }
    // 2. The Z7 receive buffer.
    m_state.Z7ReceiveBuffer.emplace();
    // 3. Start time and flags.
    m_state.StartTime = NowTime();
    m_state.StationLinkUp = false;
    m_state.RemoteCloseRequested = false;
    m_state.ClosePassword.clear();
    // 4. The closing password, from a generator seeded by the clock.
    const unsigned seed =
        m_options.randomSeed != 0
            ? m_options.randomSeed
            : static_cast<unsigned>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    m_state.ClosePassword = drv::DrawClosePassword(rng);
    // 5. The port list starts empty.
    m_view->PortList({}, {});
    // 6. Configuration.
    m_state.settings = drv::LoadDriverSettings(WorkingPath(drv::kConfigFileName));
    m_decoder.SetResyncGap(static_cast<std::uint32_t>(m_state.settings.ResyncGap));
    m_state.shared.SetComPort(m_state.settings.ComPort);
    SimpleTCPClient1->Host = m_state.settings.host;
    StartSpool();
    // 7. The station's port.
    if (m_state.settings.ComPort != drv::kNoComPort) {
        bool opened = false;
        try {
            opened = OpenStationPort("\\\\.\\" + m_state.settings.ComPort);
        } catch (const std::exception&) {
            opened = false;
        }
        if (!opened) {
            ReportStationPortFailure();
            ShowMessageText(QString::fromUtf8(kPortBusyText));
            SetPortControlsStopped();
            // A stop while the message was open: nothing more starts.
            if (StopRequested()) {
                std::fprintf(stderr, "drvorvel: stopped before startup was done\n");
                return;
            }
            // A device that comes later (an adapter found after boot) is opened then, as a lost one would be.
            CommPortDriver1->StartReopening();
        }
    } else {
        SetPortControlsStopped();
    }
    // 8. The first Z7 connection attempt. Without the Z7 link Timer3 would only wake the driver every 3 s to find
    // nothing to do.
    if (m_state.settings.SendZ7) {
        SimpleTCPClient1->SetConnected(true);
    } else {
        Timer3->stop();
    }
    // 9. The Z8 link.
    if (m_state.settings.SendZ8) {
        CreateZ8Link();
        m_view->IndicatorStep(DriverView::Indicator::Z8, Z8LinkConnected(), Z8ActivityCounter);
    }
    // 10. The start time (the window shows it once startup is done).
    m_started = true;
    StartSpoolForwarding();
}

void Driver::FormDestroy(QObject* /*Sender*/) {
    if (m_destroyed) return;
    m_destroyed = true;
    if (Timer2 != nullptr) Timer2->stop();
    StopZ8Link();
    // A last try for the events that wait in memory; what still cannot be written goes to the rescue directory.
    if (m_spoolBacklog.Waiting() > 0) {
        m_spoolBacklog.Retry(SpoolWriter());
        drv::RescueEventsAtStop(m_spoolBacklog.Take(m_spoolBacklog.Waiting()), m_state.WorkingDirectory, SpoolPrefix(),
                                m_spoolBacklog.LastError(), drv::SpoolTimeValue(NowTime()),
                                WorkingPath(drv::kErrorLogFileName), SpoolFileSystem());
    }
    StopZ7Client();
    m_state.Z7ReceiveBuffer.reset();
}

void Driver::LogError(std::int32_t code) { drv::AppendErrorLog(WorkingPath(drv::kErrorLogFileName), code); }

void Driver::LogErrorNoThrow(std::int32_t code) noexcept {
    try {
        LogError(code);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "drvorvel: error %d could not be logged: %s\n", code, e.what());
    } catch (...) {
        std::fprintf(stderr, "drvorvel: error %d could not be logged\n", code);
    }
}

void Driver::ShowMessageText(const QString& text) {
    if (m_options.headless) {
        m_view->DriverView::ShowMessage(text.toStdString());
        return;
    }
    if (StopRequested()) return;  // nobody is to be asked any more
    m_view->ShowMessage(text.toStdString());
}

bool Driver::StopRequested() const { return m_stopped || (m_options.stopRequested && m_options.stopRequested()); }

void Driver::Stop() {
    m_stopped = true;
    drv::RunHandler("closing the serial port", [this] {
        if (CommPortDriver1 != nullptr && CommPortDriver1->IsPortOpen()) CommPortDriver1->ClosePort();
    });
    QCoreApplication::exit(0);
}

void Driver::AppendLinkLog(const QString& line, bool toStandardError) {
    m_view->LinkLogLine(line.toStdString(), toStandardError);
}

void Driver::RequestRemoteClose() {
    m_state.RemoteCloseRequested = true;
    m_view->RemoteClose();
}

void DriverView::LinkLogLine(const std::string& line, bool toStandardError) {
    if (!toStandardError) return;
    std::fprintf(stderr, "drvorvel: link: %s\n", line.c_str());
    std::fflush(stderr);
}

void DriverView::ShowMessage(const std::string& text) {
    std::fprintf(stderr, "drvorvel: message: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace drv
